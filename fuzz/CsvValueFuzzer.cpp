// Renders arbitrary values as a CSV line and reads the line back with the report tool's reader:
// six fields, and each value's text as the rendering rules make it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CsvFormat.h"
#include "EventFile.h"
#include "FuzzInput.h"
#include "quillsys/TStringCore.h"

namespace {

using Metrics::MetricsValue;
using Metrics::MetricsValueType;

using Metrics::Fuzz::Check;
using Metrics::Fuzz::Input;

// Builds a value from the input and says what its text in the file must read back as.
MetricsValue MakeValue(Input& in, std::string& expected) {
    const uint8_t kind = in.Byte() % 6;
    switch (kind) {
        case 0: {
            const auto number = static_cast<int64_t>(in.Word());
            expected = std::to_string(number);
            return MetricsValue(number);
        }
        case 1: {
            const bool flag = (in.Byte() & 1) != 0;
            expected = flag ? "true" : "false";
            return MetricsValue(flag);
        }
        case 2: {
            double number = 0;
            const uint64_t bits = in.Word();
            std::memcpy(&number, &bits, sizeof(number));
            std::vector<char> text(512);
            const int length =
                std::snprintf(text.data(), text.size(), "%Lf", static_cast<long double>(number));
            if (length >= static_cast<int>(text.size())) {
                text.resize(static_cast<size_t>(length) + 1);
                std::snprintf(text.data(), text.size(), "%Lf", static_cast<long double>(number));
            }
            expected.assign(text.data(), static_cast<size_t>(length));
            return MetricsValue(number);
        }
        case 3: {
            std::string text = in.Bytes(in.Byte());
            expected = text.substr(0, text.find('\0'));
            return MetricsValue(std::move(text));
        }
        case 4: {
            std::wstring text;
            const size_t count = in.Byte() % 32;
            for (size_t i = 0; i < count; ++i) {
                // Any 21-bit unit, lone surrogates and out-of-range values included.
                text.push_back(
                    static_cast<wchar_t>((static_cast<uint32_t>(in.Byte()) << 16 |
                                          static_cast<uint32_t>(in.Byte()) << 8 | in.Byte()) %
                                         0x110010));
            }
            expected = TStringCore(text.c_str(), -1).toStdString();
            return MetricsValue(std::move(text));
        }
        default: {
            MetricsValue odd;
            odd.m_type = static_cast<MetricsValueType>(5 + in.Byte());
            expected.clear();
            return odd;
        }
    }
}

// What a reader gets back: apostrophes dropped when the text starts with one, and each line feed
// read as a double quote (the writer doubles it so that the event stays on one line).
std::string ReadBack(std::string text) {
    if (!text.empty() && text.front() == '\'') {
        std::string kept;
        for (const char c : text) {
            if (c != '\'') {
                kept += c;
            }
        }
        text = kept;
    }
    for (char& c : text) {
        if (c == '\n') {
            c = '"';
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    Metrics::MetricsEvent event;
    event.timestamp = in.Word();
    event.datetimeSeconds = in.Word();
    event.datetimeMicroseconds = static_cast<uint32_t>(in.Word() % 1000000);
    event.contextId = in.Word();
    event.eventType = static_cast<Metrics::MetricsEventType>(static_cast<int32_t>(in.Word()));
    std::string first;
    std::string second;
    event.param1 = MakeValue(in, first);
    event.param2 = MakeValue(in, second);

    std::string line;
    Metrics::AppendCsvLine(line, event);
    Check(!line.empty() && line.back() == '\n');
    line.pop_back();
    Check(line.find('\n') == std::string::npos);  // one event, one line
    // Read back with the report tool's reader, which must take every line the writer makes.
    std::string_view fields[6];
    std::string scratch[6];
    Check(Metrics::Report::SplitCsvLine(line, fields, 6, scratch) == 6);
    Check(fields[0] == std::to_string(event.timestamp));
    Check(fields[2] == std::to_string(event.contextId));
    Check(fields[3] == std::to_string(static_cast<int32_t>(event.eventType)));
    Check(fields[4] == ReadBack(first));
    Check(fields[5] == ReadBack(second));
    return 0;
}
