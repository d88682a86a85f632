#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace Metrics {

// The apostrophe rule for names and values shown to people: a text that starts with an apostrophe
// loses every apostrophe it holds, so the library's own attribute names ("'pid'") read as "pid".
// The CSV writer and the Prometheus exporter both apply it, so one name reads the same in both.
inline void DropApostrophes(std::string& text) {
    if (!text.empty() && text.front() == '\'') {
        text.erase(std::remove(text.begin(), text.end(), '\''), text.end());
    }
}

// The same without a copy when the rule leaves text as it is; otherwise the result is in scratch.
inline std::string_view DropApostrophes(std::string_view text, std::string& scratch) {
    if (text.empty() || text.front() != '\'') {
        return text;
    }
    scratch.assign(text);
    DropApostrophes(scratch);
    return scratch;
}

}  // namespace Metrics
