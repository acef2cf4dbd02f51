#include "Filesystem/ProgressController.h"

namespace Tarnix::Core {

template class EventPublisher<IProgressObserver>;
template class EventHandlerList<IProgressObserver, SyncExecutePolicy>;

IProgressObserver::~IProgressObserver() = default;

IProgressController::~IProgressController() = default;

ProgressControllerStub::ProgressControllerStub() = default;
ProgressControllerStub::~ProgressControllerStub() = default;

std::uint32_t ProgressControllerStub::AddRef() const { return refCount_.AddRefImpl(); }

std::uint32_t ProgressControllerStub::GetRefCount() const { return refCount_.GetRefCountImpl(); }

std::uint32_t ProgressControllerStub::Release() const {
  const std::uint32_t count = refCount_.ReleaseImpl();
  if (count == 0) delete this;
  return count;
}

void ProgressControllerStub::SetState(int) {}
void ProgressControllerStub::SetTotal(unsigned long long) {}
void ProgressControllerStub::SetDescription(const std::string&) {}
void ProgressControllerStub::Advance(long long) {}
bool ProgressControllerStub::IsCancelled() { return false; }

}  // namespace Tarnix::Core
