#include "PlatformThread.h"

#include <atomic>
#include <new>

#include "PlatformWindows.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#endif

namespace Metrics {

namespace {
std::atomic<bool> s_processExiting{false};
}  // namespace

bool ProcessIsExiting() noexcept { return s_processExiting.load(std::memory_order_acquire); }

#if defined(_WIN32)

namespace {

// The fiber running on this thread, or null on a thread that is not one. Not inlined: GCC 12 takes
// the segment read inside GetCurrentFiber for an access out of an array's bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
__attribute__((noinline)) void* CurrentFiberOrNull() noexcept {
    return IsThreadAFiber() ? GetCurrentFiber() : nullptr;
}
#pragma GCC diagnostic pop

}  // namespace

// A Thread slot keeps its value in a thread-local slot, and watches for the thread's end through
// a fiber-local one: its function runs when the fiber it was armed in goes. When that is another
// fiber, deleted while the thread runs on, the watch moves to the fiber now running.
struct ThreadEndSlot::Watch {
    ThreadEndSlot* slot;
    DWORD threadId;
    void* fiber;  // null when armed before the thread became a fiber: its first fiber, which ends
                  // with the thread
};

void QUILLMETRICS_THREAD_END_CALL ThreadEndSlot::OnFiberEnd(void* data) {
    auto* watch = static_cast<Watch*>(data);
    ThreadEndSlot& slot = *watch->slot;
    const bool ownThread = watch->threadId == GetCurrentThreadId();
    void* const current = CurrentFiberOrNull();
    if (ownThread && watch->fiber != nullptr && current != nullptr && current != watch->fiber) {
        // Another fiber of this thread was deleted: the thread goes on.
        if (FlsGetValue(slot.m_index) == nullptr) {
            watch->fiber = current;
            if (FlsSetValue(slot.m_index, watch)) {
                return;
            }
        }
        delete watch;
        return;
    }
    if (ownThread) {
        void* const value = TlsGetValue(slot.m_valueIndex);
        TlsSetValue(slot.m_valueIndex, nullptr);
        if (value != nullptr) {
            slot.m_function(value);
        }
    }
    // Else a fiber deleted from another thread, or the slot freed at unload: the value lives in
    // another thread's storage, out of reach.
    delete watch;
}

ThreadEndSlot::ThreadEndSlot(Function atThreadEnd, Reach reach) noexcept
    : m_function(atThreadEnd)
    , m_reach(reach) {
    if (reach == Reach::Fiber) {
        const DWORD index = FlsAlloc(atThreadEnd);
        m_valid = index != FLS_OUT_OF_INDEXES;
        m_index = index;
        return;
    }
    const DWORD valueIndex = TlsAlloc();
    if (valueIndex == TLS_OUT_OF_INDEXES) {
        return;
    }
    const DWORD index = FlsAlloc(&ThreadEndSlot::OnFiberEnd);
    if (index == FLS_OUT_OF_INDEXES) {
        TlsFree(valueIndex);
        return;
    }
    m_valueIndex = valueIndex;
    m_index = index;
    m_valid = true;
}

ThreadEndSlot::~ThreadEndSlot() {
    // At process exit every other thread is gone already and nothing will run the function again;
    // freeing the slot would run it for those threads' values on this thread for no gain.
    if (m_valid && !ProcessIsExiting()) {
        FlsFree(m_index);
        if (m_reach == Reach::Thread) {
            TlsFree(m_valueIndex);
        }
    }
}

void* ThreadEndSlot::Get() const noexcept {
    if (!m_valid) {
        return nullptr;
    }
    return m_reach == Reach::Fiber ? FlsGetValue(m_index) : TlsGetValue(m_valueIndex);
}

bool ThreadEndSlot::Set(void* value) noexcept {
    if (!m_valid) {
        return false;
    }
    if (m_reach == Reach::Fiber) {
        return FlsSetValue(m_index, value) != FALSE;
    }
    if (FlsGetValue(m_index) == nullptr) {
        auto* watch = new (std::nothrow) Watch{this, GetCurrentThreadId(), CurrentFiberOrNull()};
        if (watch == nullptr) {
            return false;
        }
        if (!FlsSetValue(m_index, watch)) {
            delete watch;
            return false;
        }
    }
    return TlsSetValue(m_valueIndex, value) != FALSE;
}

void KeepLoadedUntilExit(void (*atExit)()) noexcept {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) {
        return;
    }
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&ProcessIsExiting), &module)) {
        return;  // not pinned: an exit entry could outlive the code it points to
    }
    // A DLL's own atexit runs with its static destructors, too late; the runtime's exported one
    // is the process's exit list.
    using AtExitFunction = int (*)(void (*)());
    if (const HMODULE runtime = GetModuleHandleW(L"msvcrt.dll")) {
        // Through void (*)(): the one function pointer type any other may be cast to unwarned.
        const auto found = reinterpret_cast<void (*)()>(GetProcAddress(runtime, "atexit"));
        if (found != nullptr) {
            reinterpret_cast<AtExitFunction>(found)(atExit);
        }
    }
}

namespace {
std::atomic<HANDLE> s_backgroundThread{nullptr};
}  // namespace

void NoteBackgroundThread() noexcept {
    s_backgroundThread.store(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
}

void WaitUntilBackgroundThreadGone(unsigned int milliseconds) noexcept {
    if (const HANDLE thread = s_backgroundThread.exchange(nullptr)) {
        WaitForSingleObject(thread, milliseconds);
        CloseHandle(thread);
    }
}

}  // namespace Metrics

// The C runtime calls this before it runs the library's static destructors.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        Metrics::s_processExiting.store(true, std::memory_order_release);
    }
    return TRUE;
}

#else

// A pthread key is per thread whatever the reach: Linux threads have no fibers.
ThreadEndSlot::ThreadEndSlot(Function atThreadEnd, Reach /*reach*/) noexcept {
    pthread_key_t key;
    m_valid = pthread_key_create(&key, atThreadEnd) == 0;
    m_index = key;
}

void* ThreadEndSlot::Get() const noexcept {
    return m_valid ? pthread_getspecific(static_cast<pthread_key_t>(m_index)) : nullptr;
}

bool ThreadEndSlot::Set(void* value) noexcept {
    return m_valid && pthread_setspecific(static_cast<pthread_key_t>(m_index), value) == 0;
}

void KeepLoadedUntilExit(void (*)()) noexcept {}

namespace {
std::atomic<pid_t> s_backgroundThread{0};
}  // namespace

// A detached thread cannot be joined; the kernel's thread id answers ESRCH once the thread has
// wholly exited, its thread-specific data and thread-local storage freed. Leak checkers that stop
// the world at exit trip over a thread that is halfway through that.
void NoteBackgroundThread() noexcept { s_backgroundThread.store(gettid()); }

void WaitUntilBackgroundThreadGone(unsigned int milliseconds) noexcept {
    const pid_t thread = s_backgroundThread.exchange(0);
    if (thread == 0) {
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (tgkill(getpid(), thread, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace Metrics

#endif
