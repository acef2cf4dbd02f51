// Intrusive reference counting of the application family.
//
// Objects derive from IRefCountable (the interface other modules see) and
// implement it with RefCountImpl. boost::intrusive_ptr finds the two free
// functions below by argument-dependent lookup. The count starts at 0; the
// object deletes itself when Release() brings it back to 0.
#pragma once

#include "LumPointer/Export.h"

#include <atomic>
#include <cstdint>

namespace Tarnix {

// What a reference-counted object offers to intrusive_ptr and to others.
class LUMPOINTER_EXPORT IRefCountable {
 protected:
  virtual ~IRefCountable();

 public:
  // Add a reference, read the count, drop a reference (the last one deletes
  // the object); each returns the count afterwards.
  virtual std::uint32_t AddRef() const = 0;
  virtual std::uint32_t GetRefCount() const = 0;
  virtual std::uint32_t Release() const = 0;
};

// The counter an implementation embeds; thread-safe.
class LUMPOINTER_EXPORT RefCountImpl {
 public:
  // A copy of an object is a new object: its count starts at 0 again.
  RefCountImpl() = default;
  RefCountImpl(const RefCountImpl&) : count_(0) {}
  RefCountImpl& operator=(const RefCountImpl&) { return *this; }

  // Increments and returns the count; reads it.
  std::uint32_t AddRefImpl() const;
  std::uint32_t GetRefCountImpl() const;
  // Returns the count after the decrement; the owner deletes itself at 0.
  std::uint32_t ReleaseImpl() const;

 private:
  mutable std::atomic<std::uint32_t> count_{0};
};

// What boost::intrusive_ptr calls: AddRef and Release.
LUMPOINTER_EXPORT void intrusive_ptr_add_ref(const IRefCountable* object);
LUMPOINTER_EXPORT void intrusive_ptr_release(const IRefCountable* object);

}  // namespace Tarnix
