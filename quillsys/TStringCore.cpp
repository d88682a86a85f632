#include "quillsys/TStringCore.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(c));
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || IsSurrogate(c)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes UTF-16 units [begin, end) and hands each character to sink.
template <typename Unit, typename Sink>
void DecodeUtf16(const Unit* begin, const Unit* end, Sink sink) {
    for (const Unit* p = begin; p < end; ++p) {
        const char32_t unit = static_cast<char16_t>(*p);
        if (unit >= 0xD800 && unit <= 0xDBFF && p + 1 < end) {
            const char32_t next = static_cast<char16_t>(p[1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                sink(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++p;
                continue;
            }
        }
        sink(IsSurrogate(unit) ? kReplacement : unit);
    }
}

}  // namespace

TStringCore::TStringCore() = default;

TStringCore::TStringCore(const wchar_t* text, int length) {
    if (text == nullptr) {
        return;
    }
    m_text = length < 0 ? std::wstring(text) : std::wstring(text, static_cast<size_t>(length));
}

TStringCore::TStringCore(const TStringCore&) = default;
TStringCore::TStringCore(TStringCore&&) noexcept = default;
TStringCore& TStringCore::operator=(const TStringCore&) = default;
TStringCore& TStringCore::operator=(TStringCore&&) noexcept = default;
TStringCore::~TStringCore() = default;

TStringCore TStringCore::fromStdString(const std::string& text) {
    TStringCore result;
    std::wstring& out = result.m_text;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        int extra = 0;
        char32_t c = 0;
        if (lead < 0x80) {
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            c = lead & 0x07;
        } else {
            AppendWide(out, kReplacement);
            ++p;
            continue;
        }
        int taken = 0;
        while (taken < extra && p + 1 + taken < end && (p[1 + taken] & 0xC0) == 0x80) {
            c = (c << 6) | (p[1 + taken] & 0x3F);
            ++taken;
        }
        const bool overlong = (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000);
        if (taken < extra || overlong || c > 0x10FFFF || IsSurrogate(c)) {
            AppendWide(out, kReplacement);
            p += 1 + taken;
            continue;
        }
        AppendWide(out, c);
        p += 1 + extra;
    }
    return result;
}

TStringCore TStringCore::fromUtf16(const char16_t* text, int length) {
    TStringCore result;
    if (text == nullptr) {
        return result;
    }
    const size_t count =
        length < 0 ? std::char_traits<char16_t>::length(text) : static_cast<size_t>(length);
    result.m_text.reserve(count);
    DecodeUtf16(text, text + count, [&](char32_t c) { AppendWide(result.m_text, c); });
    return result;
}

std::string TStringCore::toStdString() const {
    std::string out;
    out.reserve(m_text.size());
    if constexpr (sizeof(wchar_t) == 2) {
        DecodeUtf16(m_text.data(), m_text.data() + m_text.size(),
                    [&](char32_t c) { AppendUtf8(out, c); });
    } else {
        for (const wchar_t w : m_text) {
            AppendUtf8(out, static_cast<char32_t>(w));
        }
    }
    return out;
}

TStringCore::operator const wchar_t*() const { return m_text.c_str(); }

namespace quillsys_detail {

struct FormatPieces {
    struct Piece {
        std::wstring text;
        int placeholder;  // 0 for literal text, else the number still to be filled
    };
    std::vector<Piece> pieces;

    void Fill(std::wstring text, int fieldWidth, wchar_t fill);
};

}  // namespace quillsys_detail

using quillsys_detail::FormatPieces;

TFormatStringCore::TFormatStringCore(const wchar_t* pattern)
    : m_state(std::make_unique<FormatPieces>()) {
    auto& pieces = m_state->pieces;
    const std::wstring text = pattern ? pattern : L"";
    std::wstring literal;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 1 < text.size() && text[i + 1] >= L'1' && text[i + 1] <= L'9') {
            if (!literal.empty()) {
                pieces.push_back({std::move(literal), 0});
                literal.clear();
            }
            pieces.push_back({std::wstring(text, i, 2), static_cast<int>(text[i + 1] - L'0')});
            ++i;
        } else {
            literal.push_back(text[i]);
        }
    }
    if (!literal.empty()) {
        pieces.push_back({std::move(literal), 0});
    }
}

TFormatStringCore::TFormatStringCore(const TFormatStringCore& other)
    : m_state(std::make_unique<FormatPieces>(*other.m_state)) {}

TFormatStringCore& TFormatStringCore::operator=(const TFormatStringCore& other) {
    if (this != &other) {
        *m_state = *other.m_state;
    }
    return *this;
}

TFormatStringCore::~TFormatStringCore() = default;

void FormatPieces::Fill(std::wstring text, int fieldWidth, wchar_t fill) {
    const auto width =
        static_cast<size_t>(fieldWidth < 0 ? -static_cast<long>(fieldWidth) : fieldWidth);
    if (text.size() < width) {
        const std::wstring padding(width - text.size(), fill);
        text = fieldWidth < 0 ? text + padding : padding + text;
    }
    int lowest = 0;
    for (const Piece& piece : pieces) {
        if (piece.placeholder != 0 && (lowest == 0 || piece.placeholder < lowest)) {
            lowest = piece.placeholder;
        }
    }
    if (lowest == 0) {
        return;
    }
    for (Piece& piece : pieces) {
        if (piece.placeholder == lowest) {
            piece.text = text;
            piece.placeholder = 0;
        }
    }
}

TFormatStringCore& TFormatStringCore::arg(const TStringCore& value, int fieldWidth, wchar_t fill) {
    m_state->Fill(value.wstring(), fieldWidth, fill);
    return *this;
}

TFormatStringCore& TFormatStringCore::arg(unsigned long long value, int fieldWidth, int base,
                                          wchar_t fill) {
    if (base < 2 || base > 36) {
        base = 10;
    }
    std::wstring digits;
    do {
        const auto digit = static_cast<int>(value % static_cast<unsigned>(base));
        digits.push_back(static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10));
        value /= static_cast<unsigned>(base);
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    m_state->Fill(std::move(digits), fieldWidth, fill);
    return *this;
}

TFormatStringCore::operator TStringCore() const {
    std::wstring text;
    for (const FormatPieces::Piece& piece : m_state->pieces) {
        text += piece.text;
    }
    return {text.c_str(), static_cast<int>(text.size())};
}
