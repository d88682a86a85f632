#pragma once

#include <memory>
#include <string>

#include "quillsys/export.h"

// Wide text in the platform's wide encoding (UTF-16 on Windows, UTF-32 elsewhere).
// Thread-compatible value type.
class QUILLSYS_API TStringCore {
public:
    TStringCore();
    // length -1 takes the text up to its terminating NUL; a null text gives an empty string.
    TStringCore(const wchar_t* text, int length);
    TStringCore(const TStringCore&);
    TStringCore(TStringCore&&) noexcept;
    TStringCore& operator=(const TStringCore&);
    TStringCore& operator=(TStringCore&&) noexcept;
    ~TStringCore();

    // Decodes UTF-8; bytes that do not form a character become U+FFFD.
    static TStringCore fromStdString(const std::string& text);
    // Decodes UTF-16 (surrogate pairs included); a lone surrogate becomes U+FFFD. length -1 takes
    // the text up to its terminating NUL.
    static TStringCore fromUtf16(const char16_t* text, int length);

    // UTF-8; what does not form a character becomes U+FFFD.
    std::string toStdString() const;
    operator const wchar_t*() const;  // NOLINT(google-explicit-constructor)
    const std::wstring& wstring() const noexcept { return m_text; }

private:
    std::wstring m_text;
};

namespace quillsys_detail {
struct FormatPieces;
}  // namespace quillsys_detail

// A pattern with placeholders %1 to %9 that arg() fills, lowest-numbered open placeholder first.
// Text inserted by arg() is never scanned for placeholders again.
class QUILLSYS_API TFormatStringCore {
public:
    explicit TFormatStringCore(const wchar_t* pattern);
    TFormatStringCore(const TFormatStringCore&);
    TFormatStringCore& operator=(const TFormatStringCore&);
    ~TFormatStringCore();

    // fieldWidth > 0 pads on the left to that width, < 0 on the right; fill is the padding.
    TFormatStringCore& arg(const TStringCore& value, int fieldWidth, wchar_t fill);
    // base 2 to 36; other bases write decimal.
    TFormatStringCore& arg(unsigned long long value, int fieldWidth, int base, wchar_t fill);
    operator TStringCore() const;  // NOLINT(google-explicit-constructor)

private:
    std::unique_ptr<quillsys_detail::FormatPieces> m_state;
};
