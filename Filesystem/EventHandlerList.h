// A subscription list of observers, the base of every progress controller.
//
// EventPublisher is the interface other modules subscribe through;
// EventHandlerList keeps the subscribers. The list stores raw pointers: it
// neither owns nor calls its observers, and an observer must unsubscribe
// before it dies. How and when observers are told of anything is up to the
// class that derives from the list (it reads them with Observers()).
//
// Threading: Subscribe, Unsubscribe and Observers lock the list's recursive
// mutex for their whole work, so any thread may call them, also from inside
// a notification that holds the lock.
//
// The virtual-slot order of EventPublisher (Subscribe, Unsubscribe, the
// destructor) is part of the interface: other modules call through it.
#pragma once

#include "Filesystem/Export.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Tarnix::Core {

// The delivery policy of a list whose observers are notified synchronously,
// on the thread that raises the event. A tag: it carries no code.
struct SyncExecutePolicy {};

// The subscription side of a list of observers.
template <typename Observer>
class EventPublisher {
 public:
  // Adds `observer` at the end of the list; null and an observer already in
  // the list are ignored.
  virtual void Subscribe(Observer* observer) = 0;
  // Removes `observer`, keeping the order of the others; null and an
  // observer not in the list are ignored.
  virtual void Unsubscribe(Observer* observer) = 0;
  virtual ~EventPublisher() = default;
};

// A list of observers, safe to change from several threads; a progress
// controller carries one.
template <typename Observer, typename ExecutePolicy>
class EventHandlerList : public virtual EventPublisher<Observer> {
 public:
  EventHandlerList() = default;
  EventHandlerList(const EventHandlerList&) = delete;
  EventHandlerList& operator=(const EventHandlerList&) = delete;
  // Frees the list only: observers are neither called nor released.
  ~EventHandlerList() override;

  // Adds `observer` as EventPublisher says, under the list's lock.
  void Subscribe(Observer* observer) override;
  // Removes `observer` as EventPublisher says, under the list's lock.
  void Unsubscribe(Observer* observer) override;

  // The subscribers in subscription order, copied under the list's lock so
  // that a notification may run while others subscribe or unsubscribe.
  std::vector<Observer*> Observers() const;

 protected:
  std::vector<Observer*> observers_;              // guarded by listMutex_; never null, no duplicates
  mutable std::recursive_mutex listMutex_;       // guards observers_
  // Serialises notifications in classes that deliver them; nothing in the
  // list itself locks it.
  mutable std::recursive_mutex notifyMutex_;
};

// Defined out of line (not inline) so that the one instantiation the library
// exports below is the one every module uses.
template <typename Observer, typename ExecutePolicy>
EventHandlerList<Observer, ExecutePolicy>::~EventHandlerList() = default;

template <typename Observer, typename ExecutePolicy>
void EventHandlerList<Observer, ExecutePolicy>::Subscribe(Observer* observer) {
  if (observer == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(listMutex_);
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

template <typename Observer, typename ExecutePolicy>
void EventHandlerList<Observer, ExecutePolicy>::Unsubscribe(Observer* observer) {
  if (observer == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(listMutex_);
  const auto found = std::find(observers_.begin(), observers_.end(), observer);
  if (found != observers_.end()) observers_.erase(found);
}

template <typename Observer, typename ExecutePolicy>
std::vector<Observer*> EventHandlerList<Observer, ExecutePolicy>::Observers() const {
  std::lock_guard<std::recursive_mutex> lock(listMutex_);
  return observers_;
}

}  // namespace Tarnix::Core
