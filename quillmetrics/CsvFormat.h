#pragma once

#include <string>

#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

extern const char* const kCsvHeader;

// Appends the text of one value as it stands in a CSV field: the base text by kind, apostrophes
// dropped when the text starts with one, then quoted when it holds a double quote, a line feed, a
// comma or a carriage return.
void AppendCsvValue(std::string& line, const MetricsValue& value);

// Appends one event as a CSV line, newline included.
void AppendCsvLine(std::string& line, const MetricsEvent& event);

}  // namespace Metrics
