// Progress controllers: how a long operation (CopyFiles) reports its progress
// and learns that its caller wants it cancelled.
//
// A controller is reference-counted through LumPointer and always held by
// boost::intrusive_ptr<IProgressController>; an operation keeps its own
// reference, so a caller may drop its pointer while the operation runs. The
// operation calls the controller on its own worker thread, concurrently with
// whatever the caller does with it: an implementation that the caller also
// uses must be safe for that, and its operations must not throw.
//
// The virtual-slot order of IProgressController (SetState, SetTotal,
// SetDescription, Advance, IsCancelled) is part of the interface: other
// modules call through it.
#pragma once

#include "Filesystem/EventHandlerList.h"
#include "Filesystem/Export.h"
#include "LumPointer/RefCount.h"

#include <boost/smart_ptr/intrusive_ptr.hpp>

#include <string>

namespace Tarnix::Core {

// What a controller's observers are; the library only stores their pointers
// and calls none of their operations.
class LUMFILESYSTEM_EXPORT IProgressObserver {
 public:
  virtual ~IProgressObserver();
};

// The list type every controller carries, compiled once into the library.
extern template class LUMFILESYSTEM_EXPORT EventPublisher<IProgressObserver>;
extern template class LUMFILESYSTEM_EXPORT EventHandlerList<IProgressObserver, SyncExecutePolicy>;

// The states passed to IProgressController::SetState: Started once, first,
// then exactly one of the other three, last.
enum ProgressState : int {
  Started = 1,    // the work has begun; nothing is done yet
  Succeeded = 2,  // all of the work was done
  Cancelled = 3,  // IsCancelled returned true and nothing had failed before
  Failed = 4,     // some of the work failed (whether or not a cancellation followed)
};

// What CopyFiles reports to, on its worker thread: the state, the total, each
// step, and whether to stop. Always held through an intrusive pointer.
class LUMFILESYSTEM_EXPORT IProgressController : public virtual IRefCountable,
                                                 public EventHandlerList<IProgressObserver, SyncExecutePolicy> {
 public:
  // A ProgressState.
  virtual void SetState(int state) = 0;
  // The amount of work, in bytes for a copy; announced once, after Started.
  virtual void SetTotal(unsigned long long totalBytes) = 0;
  // A text for the user about the current work; CopyFiles does not call it.
  virtual void SetDescription(const std::string& text) = 0;
  // The work done since the previous call (bytes copied); never negative.
  virtual void Advance(long long bytes) = 0;
  // Polled after every Advance; true asks the operation to stop.
  virtual bool IsCancelled() = 0;

 protected:
  ~IProgressController() override;
};

// The controller CopyFiles uses when the caller passes none: it ignores every
// report and never cancels. It deletes itself when its last reference goes.
class LUMFILESYSTEM_EXPORT ProgressControllerStub : public virtual IProgressController {
 public:
  ProgressControllerStub();

  // Its own reference count; the last Release deletes it.
  std::uint32_t AddRef() const override;
  std::uint32_t GetRefCount() const override;
  std::uint32_t Release() const override;

  void SetState(int state) override;
  void SetTotal(unsigned long long totalBytes) override;
  void SetDescription(const std::string& text) override;
  void Advance(long long bytes) override;
  bool IsCancelled() override;

 protected:
  ~ProgressControllerStub() override;

 private:
  RefCountImpl refCount_;
};

}  // namespace Tarnix::Core
