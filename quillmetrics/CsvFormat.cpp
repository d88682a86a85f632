#include "CsvFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "quillsys/TStringCore.h"

namespace Metrics {

const char* const kCsvHeader = "timestamp,datetime,context_id,event_type,param1,param2";

namespace {

template <typename Integer>
void AppendInteger(std::string& out, Integer value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, result.ptr);
}

std::string BaseText(const MetricsValue& value) {
    switch (value.m_type) {
        case MetricsValueType::Int64: {
            std::string text;
            AppendInteger(text, value.m_int);
            return text;
        }
        case MetricsValueType::Bool:
            return value.m_bool ? "true" : "false";
        case MetricsValueType::Double: {
            // "%Lf" as the text of record, in the current C locale.
            const long double number = value.m_double;
            char small[64];
            const int length = std::snprintf(small, sizeof(small), "%Lf", number);
            if (length < 0) {
                return {};
            }
            if (static_cast<size_t>(length) < sizeof(small)) {
                return {small, static_cast<size_t>(length)};
            }
            std::string large(static_cast<size_t>(length) + 1, '\0');
            std::snprintf(large.data(), large.size(), "%Lf", number);
            large.resize(static_cast<size_t>(length));
            return large;
        }
        case MetricsValueType::String: {
            if (!value.m_string) {
                return {};
            }
            const std::string& text = *value.m_string;
            return text.substr(0, text.find('\0'));
        }
        case MetricsValueType::WString: {
            if (!value.m_wstring) {
                return {};
            }
#if defined(_WIN32)
            return TStringCore::fromUtf16(
                       reinterpret_cast<const char16_t*>(value.m_wstring->c_str()), -1)
                .toStdString();
#else
            return TStringCore(value.m_wstring->c_str(), -1).toStdString();
#endif
        }
    }
    return {};
}

}  // namespace

void AppendCsvValue(std::string& line, const MetricsValue& value) {
    std::string text = BaseText(value);
    if (!text.empty() && text.front() == '\'') {
        text.erase(std::remove(text.begin(), text.end(), '\''), text.end());
    }
    if (text.find_first_of("\"\n,\r") == std::string::npos) {
        line += text;
        return;
    }
    line += '"';
    for (const char c : text) {
        if (c == '"' || c == '\n') {
            line += "\"\"";
        } else {
            line += c;
        }
    }
    line += '"';
}

void AppendCsvLine(std::string& line, const MetricsEvent& event) {
    AppendInteger(line, event.timestamp);
    line += ',';
    AppendInteger(line, event.datetimeSeconds);
    line += '.';
    char micros[16];
    const auto end = std::to_chars(micros, micros + sizeof(micros), event.datetimeMicroseconds).ptr;
    const auto width = static_cast<size_t>(end - micros);
    if (width < 6) {
        line.append(6 - width, '0');
    }
    line.append(micros, end);
    line += ',';
    AppendInteger(line, event.contextId);
    line += ',';
    AppendInteger(line, static_cast<int32_t>(event.eventType));
    line += ',';
    AppendCsvValue(line, event.param1);
    line += ',';
    AppendCsvValue(line, event.param2);
    line += '\n';
}

}  // namespace Metrics
