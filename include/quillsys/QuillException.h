#pragma once

#include <stdexcept>
#include <string>

#include "quillsys/export.h"

// The exception the host system library raises for a broken invariant. Carries the reporting
// source path, line and failed condition; what() joins them into one line.
class QUILLSYS_API QuillException : public std::logic_error {
public:
    QuillException(const char* file, int line, const char* expression);
    QuillException(const QuillException&) = default;
    QuillException& operator=(const QuillException&) = default;
    ~QuillException() override;

    const std::string& File() const noexcept { return m_file; }
    int Line() const noexcept { return m_line; }
    const std::string& Expression() const noexcept { return m_expression; }

private:
    std::string m_file;
    int m_line;
    std::string m_expression;
};

// Reports a broken invariant by throwing QuillException; never returns normally. Null arguments
// are reported as empty texts.
[[noreturn]] QUILLSYS_API void ThrowLogicException(const char* file, int line,
                                                   const char* expression);
