#include "quillsys/TSystem.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <sys/syscall.h>
#endif

unsigned long long TSystem::ThreadID() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    // The kernel's thread id: what debuggers and /proc show, unlike pthread_self's address.
    return static_cast<unsigned long long>(syscall(SYS_gettid));
#endif
}

unsigned int TSystem::ProcessID() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned int>(getpid());
#endif
}
