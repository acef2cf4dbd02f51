#include "LumPointer/RefCount.h"

namespace Tarnix {

IRefCountable::~IRefCountable() = default;

std::uint32_t RefCountImpl::AddRefImpl() const {
  return count_.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t RefCountImpl::GetRefCountImpl() const {
  return count_.load(std::memory_order_acquire);
}

std::uint32_t RefCountImpl::ReleaseImpl() const {
  return count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

void intrusive_ptr_add_ref(const IRefCountable* object) { object->AddRef(); }

void intrusive_ptr_release(const IRefCountable* object) { object->Release(); }

}  // namespace Tarnix
