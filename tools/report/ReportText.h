#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "Utf8.h"

namespace Metrics::Report {

// Text helpers every output of the report shares. Values arrive as the file holds them, so each
// one repairs invalid UTF-8 first.

inline std::string Milliseconds(uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(ns) / 1e6);
    return text;
}

inline std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (const char c : ValidUtf8(text)) {
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

// A JSON string literal. Inside an HTML script element "</" must not appear either.
inline std::string JsonQuoted(const std::string& text) {
    std::string quoted = nlohmann::json(ValidUtf8(text)).dump();
    for (std::string::size_type at = quoted.find("</"); at != std::string::npos;
         at = quoted.find("</", at)) {
        quoted.replace(at, 2, "<\\/");
    }
    return quoted;
}

}  // namespace Metrics::Report
