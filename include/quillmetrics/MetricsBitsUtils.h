#pragma once

#include <string>

#include "quillmetrics/Category.h"
#include "quillmetrics/export.h"

namespace Metrics {

// Conversions between comma-separated lists of category mnemonics ("net,sql") and category masks.
// Items are matched byte for byte: no trimming, no case folding. Any thread, consumers and hooks
// included; never blocks; only std::bad_alloc leaves them.
class MetricsBitsUtils {
public:
    MetricsBitsUtils() = default;
    MetricsBitsUtils(const MetricsBitsUtils&) = default;
    MetricsBitsUtils(MetricsBitsUtils&&) = default;
    QUILLMETRICS_API MetricsBitsUtils& operator=(const MetricsBitsUtils& other);
    QUILLMETRICS_API MetricsBitsUtils& operator=(MetricsBitsUtils&& other) noexcept;
    ~MetricsBitsUtils() = default;

    // The union of the masks of the known items; unknown and empty items are ignored.
    QUILLMETRICS_API static unsigned long long GetMetricsBitsFromMnemonicList(
        const std::string& list);
    // Every mnemonic whose mask shares a bit with bits, in alphabetical order ("all" included).
    QUILLMETRICS_API static std::string MetricsBitsToMnemonicList(unsigned long long bits);
    // The unknown items, comma-joined in the order given; empty when every item is known.
    QUILLMETRICS_API static std::string ValidateMnemonicList(const std::string& list);
};

}  // namespace Metrics
