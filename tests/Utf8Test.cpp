#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "Utf8.h"

namespace Metrics::Testing {
namespace {

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

// The smallest and the largest code point of each length, and those beside the surrogates, are
// written as they should be and kept as they are, also as the very last character of a text.
TEST(Utf8Test, EachLengthsBoundsAreWrittenAndKept) {
    const struct {
        uint32_t code;
        std::string bytes;
    } cases[] = {
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xE000, "\xEE\x80\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0xD800, kBad},
        {0xDFFF, kBad},
        {0x110000, kBad},
    };
    for (const auto& c : cases) {
        std::string written;
        AppendUtf8(written, c.code);
        EXPECT_EQ(written, c.bytes) << std::hex << c.code;
        EXPECT_EQ(ValidUtf8("a" + c.bytes), "a" + c.bytes) << std::hex << c.code;
        EXPECT_EQ(ValidUtf8(c.bytes + "z"), c.bytes + "z") << std::hex << c.code;
    }
}

// Each byte that starts no valid sequence becomes one U+FFFD: overlong forms, surrogates, code
// points past U+10FFFF, a sequence cut short by the end or by a byte that does not continue it.
TEST(Utf8Test, EachByteThatStartsNoValidSequenceIsReplaced) {
    const std::string r = kBad;
    const struct {
        std::string text;
        std::string repaired;
    } cases[] = {
        {"\xC0\x80", r + r},
        {"\xC1\xBF", r + r},
        {"\xE0\x9F\xBF", r + r + r},
        {"\xF0\x8F\xBF\xBF", r + r + r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"ok\xE2\x82", "ok" + r + r},
        {"\xE2(\xA1", r + "(" + r},
        {"\xC3\xC3\xA9", r + "\xC3\xA9"},  // a lead byte where a continuation should be
        {"\x80", r},
        {"\xF8\x88\x80\x80\x80", r + r + r + r + r},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ValidUtf8(c.text), c.repaired) << c.text;
    }
}

}  // namespace
}  // namespace Metrics::Testing
