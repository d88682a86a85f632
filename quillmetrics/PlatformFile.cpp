#include "PlatformFile.h"

#include <system_error>

#include "PlatformWindows.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace Metrics {

LineFile::LineFile() noexcept = default;

void LineFile::EndLine(std::string& text) {
#if defined(_WIN32)
    if (!text.empty() && text.back() == '\n' &&
        (text.size() < 2 || text[text.size() - 2] != '\r')) {
        text.back() = '\r';
        text += '\n';
    }
#else
    static_cast<void>(text);
#endif
}

bool LineFile::WriteLine(std::string& line) {
    EndLine(line);
    return WriteLines(line);
}

bool LineFile::WriteLines(const std::string& lines) {
    if (m_handle == s_closed || (m_cutPending && !CutBack())) {
        return false;
    }
    const size_t written = WriteAll(lines.data(), lines.size());
    if (written == lines.size()) {
        m_end += written;
        return true;
    }
    // The whole lines that went out stay; a fragment after them is cut off again, since nothing
    // may be appended to it.
    const size_t lastEnd = written > 0 ? lines.rfind('\n', written - 1) : std::string::npos;
    const size_t kept = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    m_end += kept;
    if (written > kept) {
        m_cutPending = true;
        CutBack();
    }
    return false;
}

#if defined(_WIN32)

bool LineFile::Open(const std::string& name, std::string& reason) {
    if (m_handle != s_closed) {
        reason = "already open";
        return false;
    }
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = std::system_category().message(static_cast<int>(GetLastError()));
        return false;
    }
    m_handle = handle;
    return true;
}

LineFile::~LineFile() {
    if (m_handle != s_closed) {
        CloseHandle(static_cast<HANDLE>(m_handle));
    }
}

size_t LineFile::WriteAll(const char* data, size_t size) noexcept {
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(m_handle), data + done, chunk, &written, nullptr) ||
            written == 0) {
            break;
        }
        done += written;
    }
    return done;
}

bool LineFile::CutBack() noexcept {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(m_end);
    if (SetFilePointerEx(static_cast<HANDLE>(m_handle), end, nullptr, FILE_BEGIN) &&
        SetEndOfFile(static_cast<HANDLE>(m_handle))) {
        m_cutPending = false;
    }
    return !m_cutPending;
}

#else

bool LineFile::Open(const std::string& name, std::string& reason) {
    if (m_handle != s_closed) {
        reason = "already open";
        return false;
    }
    int fd = -1;
    do {
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = std::generic_category().message(errno);
        return false;
    }
    m_handle = fd;
    return true;
}

LineFile::~LineFile() {
    if (m_handle != s_closed) {
        close(m_handle);
    }
}

size_t LineFile::WriteAll(const char* data, size_t size) noexcept {
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(m_handle, data + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<size_t>(written);
    }
    return done;
}

bool LineFile::CutBack() noexcept {
    const auto end = static_cast<off_t>(m_end);
    if (ftruncate(m_handle, end) == 0 && lseek(m_handle, end, SEEK_SET) == end) {
        m_cutPending = false;
    }
    return !m_cutPending;
}

#endif

}  // namespace Metrics
