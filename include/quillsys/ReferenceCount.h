#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include "quillsys/QuillException.h"
#include "quillsys/export.h"

// Holds the intrusive reference count. Thread-safe: the count is atomic.
template <typename Derived>
class RefCntObjectNonVirtualBase {
public:
    // Returns the new count.
    long AddReference() const noexcept {
        return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1;
    }

protected:
    RefCntObjectNonVirtualBase() noexcept = default;
    RefCntObjectNonVirtualBase(const RefCntObjectNonVirtualBase&) noexcept {}
    RefCntObjectNonVirtualBase& operator=(const RefCntObjectNonVirtualBase&) noexcept {
        return *this;
    }
    ~RefCntObjectNonVirtualBase() = default;

    // Returns the new count; the caller destroys the object when it reaches zero.
    long DropReference() const noexcept {
        // acq_rel: the thread that takes the count to zero must see every write made through
        // the other references before it destroys the object.
        return m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    }

private:
    mutable std::atomic<long> m_refCount{0};
};

// Base of intrusively counted objects. The object deletes itself when RemoveReference takes the
// count to zero, so it must be allocated with new and owned only through references.
class QUILLSYS_API RefCntObject : public RefCntObjectNonVirtualBase<RefCntObject> {
public:
    RefCntObject() noexcept;
    RefCntObject(const RefCntObject&) = delete;
    RefCntObject& operator=(const RefCntObject&) = delete;
    virtual ~RefCntObject();

    // Returns the new count; destroys the object when it reaches zero.
    long RemoveReference() const noexcept;
};

// Smart pointer over RefCntObject-derived objects. Thread-compatible: one pointer object must
// not be changed on two threads at once, while copies of it may live on any thread.
template <typename T, typename Base = RefCntObject>
class RefCntPtr {
public:
    RefCntPtr() noexcept = default;
    RefCntPtr(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor)
    explicit RefCntPtr(T* object) noexcept
        : m_ptr(object) {
        Acquire();
    }
    RefCntPtr(const RefCntPtr& other) noexcept
        : m_ptr(other.m_ptr) {
        Acquire();
    }
    RefCntPtr(RefCntPtr&& other) noexcept
        : m_ptr(other.m_ptr) {
        other.m_ptr = nullptr;
    }
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    RefCntPtr(const RefCntPtr<U, Base>& other) noexcept  // NOLINT(google-explicit-constructor)
        : m_ptr(other.get()) {
        Acquire();
    }
    ~RefCntPtr() { Release(); }

    RefCntPtr& operator=(const RefCntPtr& other) noexcept {
        RefCntPtr(other).swap(*this);
        return *this;
    }
    RefCntPtr& operator=(RefCntPtr&& other) noexcept {
        RefCntPtr(std::move(other)).swap(*this);
        return *this;
    }
    RefCntPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    void reset() noexcept { RefCntPtr().swap(*this); }
    void swap(RefCntPtr& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const {
        if (!m_ptr) {
            ThrowLogicException("ReferenceCount", 352, "m_ptr");
        }
        return m_ptr;
    }
    T& operator*() const { return *operator->(); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    friend bool operator==(const RefCntPtr& a, const RefCntPtr& b) noexcept {
        return a.m_ptr == b.m_ptr;
    }
    friend bool operator!=(const RefCntPtr& a, const RefCntPtr& b) noexcept {
        return a.m_ptr != b.m_ptr;
    }

private:
    void Acquire() const noexcept {
        if (m_ptr) {
            static_cast<const Base*>(m_ptr)->AddReference();
        }
    }
    void Release() noexcept {
        if (m_ptr) {
            static_cast<const Base*>(m_ptr)->RemoveReference();
            m_ptr = nullptr;
        }
    }

    T* m_ptr = nullptr;
};
