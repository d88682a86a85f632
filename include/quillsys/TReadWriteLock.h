#pragma once

#include <memory>

#include "quillsys/export.h"

// Reader/writer lock: several readers at once, or one writer. Not recursive. Thread-safe.
class QUILLSYS_API TReadWriteLock {
public:
    explicit TReadWriteLock(unsigned int flags);
    TReadWriteLock(const TReadWriteLock&) = delete;
    TReadWriteLock& operator=(const TReadWriteLock&) = delete;
    ~TReadWriteLock();

    void Lock();
    void Unlock();
    void LockRead();
    void UnlockRead();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
