#include "CsvFormat.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Apostrophes.h"
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

// Whether a field must be quoted: it holds a double quote, a line feed, a comma or a carriage
// return. One pass over the bytes: a search for any of a set looks for each byte in the set.
bool NeedsQuotes(std::string_view text) noexcept {
    for (const char c : text) {
        if (c == '"' || c == '\n' || c == ',' || c == '\r') {
            return true;
        }
    }
    return false;
}

// Appends text as a field: quoted when NeedsQuotes, each double quote and line feed then written
// as two double quotes.
void AppendField(std::string& line, std::string_view text) {
    if (!NeedsQuotes(text)) {
        line.append(text);
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

// Appends text after the apostrophe rule.
void AppendText(std::string& line, std::string_view text) {
    std::string kept;
    AppendField(line, DropApostrophes(text, kept));
}

// Room for any integer the line holds (20 digits, or a sign and 10) and a separator.
constexpr size_t kNumberRoom = 24;

// Writes value and then separator at out, within kNumberRoom characters.
template <typename Integer>
char* Number(char* out, Integer value, char separator) {
    out = std::to_chars(out, out + kNumberRoom - 1, value).ptr;
    *out = separator;
    return out + 1;
}

}  // namespace

void AppendCsvValue(std::string& line, const MetricsValue& value) {
    // Numbers and truth values never start with an apostrophe nor need quoting: no copy for them,
    // nor for the common narrow string.
    switch (value.m_type) {
        case MetricsValueType::Int64:
            AppendInteger(line, value.m_int);
            return;
        case MetricsValueType::Bool:
            line += value.m_bool ? "true" : "false";
            return;
        case MetricsValueType::Double: {
            // "%Lf" as the text of record, in the current C locale, whose decimal point may be a
            // comma: the field rules still apply.
            const long double number = value.m_double;
            char small[64];
            const int length = std::snprintf(small, sizeof(small), "%Lf", number);
            if (length < 0) {
                return;
            }
            if (static_cast<size_t>(length) < sizeof(small)) {
                AppendText(line, std::string_view(small, static_cast<size_t>(length)));
                return;
            }
            std::string large(static_cast<size_t>(length) + 1, '\0');
            std::snprintf(large.data(), large.size(), "%Lf", number);
            large.resize(static_cast<size_t>(length));
            AppendText(line, large);
            return;
        }
        case MetricsValueType::String: {
            if (!value.m_string) {
                return;
            }
            const std::string_view text(*value.m_string);
            AppendText(line, text.substr(0, text.find('\0')));
            return;
        }
        case MetricsValueType::WString: {
            if (!value.m_wstring) {
                return;
            }
#if defined(_WIN32)
            AppendText(line, TStringCore::fromUtf16(
                                 reinterpret_cast<const char16_t*>(value.m_wstring->c_str()), -1)
                                 .toStdString());
#else
            AppendText(line, TStringCore(value.m_wstring->c_str(), -1).toStdString());
#endif
            return;
        }
    }
}

void AppendCsvLine(std::string& line, const MetricsEvent& event) {
    // The four numbers first, into one buffer and one append.
    char head[kNumberRoom * 4 + 8];
    char* out = Number(head, event.timestamp, ',');
    out = Number(out, event.datetimeSeconds, '.');
    char micros[8];
    const char* const microsEnd =
        std::to_chars(micros, micros + sizeof(micros), event.datetimeMicroseconds % 1000000U).ptr;
    const auto width = static_cast<size_t>(microsEnd - micros);
    std::memset(out, '0', 6 - width);
    std::memcpy(out + (6 - width), micros, width);
    out += 6;
    *out++ = ',';
    out = Number(out, event.contextId, ',');
    out = Number(out, static_cast<int32_t>(event.eventType), ',');
    line.append(head, out);
    AppendCsvValue(line, event.param1);
    line += ',';
    AppendCsvValue(line, event.param2);
    line += '\n';
}

}  // namespace Metrics
