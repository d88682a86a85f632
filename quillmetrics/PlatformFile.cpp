#include "PlatformFile.h"

#include "PlatformWindows.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace Metrics {

LineFile::LineFile() noexcept = default;

bool LineFile::WriteLine(std::string& line) {
#if defined(_WIN32)
    if (!line.empty() && line.back() == '\n') {
        line.back() = '\r';
        line += '\n';
    }
#endif
    if (m_handle == s_closed || (m_cutPending && !CutBack())) {
        return false;
    }
    const size_t written = WriteAll(line.data(), line.size());
    if (written == line.size()) {
        m_end += written;
        return true;
    }
    if (written > 0) {
        // A fragment went out: nothing may be appended to it.
        m_cutPending = true;
        CutBack();
    }
    return false;
}

#if defined(_WIN32)

bool LineFile::Open(const std::string& name) {
    if (m_handle != s_closed) {
        return false;
    }
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
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

bool LineFile::Open(const std::string& name) {
    if (m_handle != s_closed) {
        return false;
    }
    int fd = -1;
    do {
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
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
