#include "ReportText.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "Utf8.h"

namespace Metrics::Report {

std::string Duration(uint64_t ns) {
    if (ns < 1000) {
        return std::to_string(ns) + " ns";
    }
    static constexpr const char* kUnits[] = {"\u00b5s", "ms", "s"};
    double value = static_cast<double>(ns) / 1000;
    char text[32];
    for (size_t unit = 0;; ++unit) {
        // Rounded to three significant digits first, so 999.9 µs becomes 1.00 ms, not 1000 µs.
        const char* format = value < 9.995 ? "%.2f %s" : value < 99.95 ? "%.1f %s" : "%.0f %s";
        if (value < 999.5 || unit == 2) {
            std::snprintf(text, sizeof text, format, value, kUnits[unit]);
            return text;
        }
        value /= 1000;
    }
}

std::string IsoDatetime(std::string_view datetime) {
    const size_t dot = datetime.find('.');
    const std::string_view secondsText = datetime.substr(0, dot);
    time_t seconds = 0;
    const auto parsed =
        std::from_chars(secondsText.data(), secondsText.data() + secondsText.size(), seconds);
    std::tm utc{};
    if (parsed.ec != std::errc() || gmtime_r(&seconds, &utc) == nullptr) {
        return Clip(std::string(datetime), 32);
    }
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string out(text, length);
    if (dot != std::string_view::npos) {
        out += datetime.substr(dot, 7);
    }
    return out + "Z";
}

std::string Bytes(uint64_t bytes) {
    char text[32];
    if (bytes < 1000) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < uint64_t{1000} * 1000) {
        std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(bytes) / 1e3);
    } else if (bytes < uint64_t{1000} * 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
    }
    return text;
}

namespace {

size_t Characters(const std::string& text) {
    size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

}  // namespace

std::string Row(std::initializer_list<Cell> cells) {
    std::string row = " ";
    for (const Cell& cell : cells) {
        const auto width = static_cast<size_t>(cell.width < 0 ? -cell.width : cell.width);
        const size_t length = Characters(cell.text);
        const std::string pad(width > length ? width - length : 0, ' ');
        row += ' ';
        row += cell.width < 0 ? cell.text + pad : pad + cell.text;
    }
    while (!row.empty() && row.back() == ' ') {
        row.pop_back();
    }
    return row + "\n";
}

std::string Clip(const std::string& text, size_t width) {
    if (Characters(text) <= width) {
        return text;
    }
    std::string out;
    size_t count = 0;
    for (const char c : text) {
        const bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (starts && ++count == width) {
            break;
        }
        out += c;
    }
    return out + "\u2026";
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (const char c : ValidUtf8(std::string(text))) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void AppendJsonString(std::string& out, std::string_view view) {
    const std::string text(view);
    out += '"';
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\ufffd";
            ++i;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (length == 3 && c == 0xE2 && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xA8) {
            out += (text[i + 2] & 1) != 0 ? "\\u2029" : "\\u2028";
        } else if (length > 1) {
            out.append(text, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
}

std::string JsonQuoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    AppendJsonString(out, text);
    return out;
}

}  // namespace Metrics::Report
