#include "quillsys/QuillException.h"

namespace {

std::string Describe(const char* file, int line, const char* expression) {
    std::string text = file ? file : "";
    text += '(';
    text += std::to_string(line);
    text += "): invariant failed: ";
    text += expression ? expression : "";
    return text;
}

}  // namespace

QuillException::QuillException(const char* file, int line, const char* expression)
    : std::logic_error(Describe(file, line, expression))
    , m_file(file ? file : "")
    , m_line(line)
    , m_expression(expression ? expression : "") {}

QuillException::~QuillException() = default;

void ThrowLogicException(const char* file, int line, const char* expression) {
    throw QuillException(file, line, expression);
}
