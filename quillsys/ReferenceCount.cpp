#include "quillsys/ReferenceCount.h"

RefCntObject::RefCntObject() noexcept = default;

RefCntObject::~RefCntObject() = default;

long RefCntObject::RemoveReference() const noexcept {
    const long count = DropReference();
    if (count == 0) {
        delete this;
    }
    return count;
}
