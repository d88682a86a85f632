#include "quillsys/TReadWriteLock.h"

#include <shared_mutex>

struct TReadWriteLock::State {
    std::shared_mutex mutex;
};

TReadWriteLock::TReadWriteLock(unsigned int /*flags*/)
    : m_state(std::make_unique<State>()) {}

TReadWriteLock::~TReadWriteLock() = default;

void TReadWriteLock::Lock() { m_state->mutex.lock(); }

void TReadWriteLock::Unlock() { m_state->mutex.unlock(); }

void TReadWriteLock::LockRead() { m_state->mutex.lock_shared(); }

void TReadWriteLock::UnlockRead() { m_state->mutex.unlock_shared(); }
