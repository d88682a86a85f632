#pragma once

namespace Metrics {

#if defined(_WIN32)
#define QUILLMETRICS_THREAD_END_CALL __stdcall
#else
#define QUILLMETRICS_THREAD_END_CALL
#endif

// For the thread-locals that every emit (or every delivered event) reads: with the initial-exec
// model a read is one load from the thread's block instead of a call into the dynamic linker (a
// shared library's default).
// They take a few bytes of the static block that the C library keeps for libraries loaded later.
#if defined(__ELF__)
#define QUILLMETRICS_EMIT_TLS __attribute__((tls_model("initial-exec")))
#else
#define QUILLMETRICS_EMIT_TLS
#endif
// For such a thread-local that other files read too: a plain pointer that is never initialized
// at run time. GCC's __thread says so, where an extern thread_local makes every read in another
// file call a guard first.
#if defined(__GNUC__)
#define QUILLMETRICS_THREAD_POINTER __thread
#else
#define QUILLMETRICS_THREAD_POINTER thread_local
#endif

// One pointer per thread, and a function that runs with the thread's pointer when the thread ends.
//
// Not a thread_local destructor: MinGW runs those after it has freed the thread's thread-local
// storage. A pthread key (Linux) and a fiber-local slot (Windows) run their function after every
// C++ thread_local destructor of the thread, so host objects destroyed at thread end still find
// the library's state. On Windows the function may also run on the thread that unloads the
// library, for every thread that still has a pointer.
//
// A slot's reach matters on Windows only, where a thread may run several fibers: a Fiber slot
// holds one pointer per fiber and runs its function when the fiber is deleted too (state that
// belongs to the fiber); a Thread slot holds one pointer per thread, shared by its fibers, and runs
// its function when the thread ends, not when a fiber of it is deleted while it runs on.
class ThreadEndSlot {
public:
    using Function = void(QUILLMETRICS_THREAD_END_CALL*)(void* value);
    enum class Reach { Fiber, Thread };

    ThreadEndSlot(Function atThreadEnd, Reach reach) noexcept;
    ThreadEndSlot(const ThreadEndSlot&) = delete;
    ThreadEndSlot& operator=(const ThreadEndSlot&) = delete;
#if defined(_WIN32)
    ~ThreadEndSlot();
#else
    // The key is kept: the library is never unloaded once enabled (linked so), and threads still
    // running during process exit may use it after this destructor.
    ~ThreadEndSlot() = default;
#endif

    void* Get() const noexcept;
    // False when the system had no slot to give or refused the value: the caller then keeps no
    // state for the thread, or frees it itself.
    bool Set(void* value) noexcept;

private:
#if defined(_WIN32)
    struct Watch;
    static void QUILLMETRICS_THREAD_END_CALL OnFiberEnd(void* watch);
    Function m_function = nullptr;
    Reach m_reach = Reach::Fiber;
    unsigned long m_valueIndex = 0;  // a thread-local slot, for Reach::Thread
#endif
    unsigned long m_index = 0;
    bool m_valid = false;
};

// Called when the background thread first starts: its code must stay mapped while it runs, so the
// library stays loaded until the process ends, and atExit runs when the process begins to exit,
// while the thread still runs. Linux needs neither: the library is linked so that it is never
// unloaded, and its static destructors run at exit while every thread still runs. Windows ends
// every other thread before a DLL's static destructors, so atExit goes to the exit list of the
// C runtime the library uses.
void KeepLoadedUntilExit(void (*atExit)()) noexcept;

// Called on the background thread as it starts; then, once it has been told to stop, the process's
// exit may wait (up to the given time) until the thread is wholly gone, so that nothing at exit
// meets a thread halfway through its own exit: Windows ends such a thread, which now and then takes
// the process down with it, and leak checkers that stop every thread at exit trip over it.
void NoteBackgroundThread() noexcept;
void WaitUntilBackgroundThreadGone(unsigned int milliseconds) noexcept;

// True once the process has begun to exit and the system has ended every thread but the calling
// one (Windows ends them before the library's unload handler runs): nothing may wait for another
// thread then, nor take a lock another thread may have held.
bool ProcessIsExiting() noexcept;

}  // namespace Metrics
