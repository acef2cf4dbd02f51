#include "Filesystem/ProgressController.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace Tarnix::Core {
namespace {

using ObserverList = EventHandlerList<IProgressObserver, SyncExecutePolicy>;

// Each step is "+i" (subscribe observer i), "-i" (unsubscribe it); i 0 means
// null. Observers are used only by address, as the list does.
TEST(EventHandlerList, KeepsEachObserverOnceInSubscriptionOrder) {
  IProgressObserver observers[4];
  const auto address = [&](char digit) { return digit == '0' ? nullptr : &observers[digit - '1']; };
  struct Case {
    const char* steps;
    const char* expected;
  };
  const Case cases[] = {
      {"+1+2+3", "123"},
      {"+1+2+1", "12"},          // a second subscription changes nothing
      {"+1+2+3-2", "13"},        // the later ones move up, in order
      {"+1-3", "1"},             // never subscribed
      {"+1-1-1+1", "1"},
      {"+0+1-0", "1"},           // null
      {"+3+1+2-1+1", "321"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    ObserverList list;
    EventPublisher<IProgressObserver>& publisher = list;  // the way other modules call it
    for (const char* step = c.steps; *step; step += 2) {
      if (step[0] == '+') {
        publisher.Subscribe(address(step[1]));
      } else {
        publisher.Unsubscribe(address(step[1]));
      }
    }
    std::string actual;
    for (IProgressObserver* o : list.Observers()) actual += static_cast<char>('1' + (o - observers));
    EXPECT_EQ(actual, c.expected);
  }
}

// Under ThreadSanitizer this proves the list's own locking.
TEST(EventHandlerList, SubscribersOnSeveralThreads) {
  ObserverList list;
  std::vector<IProgressObserver> observers(200);
  const auto churn = [&](std::size_t first) {
    for (int round = 0; round < 20; ++round) {
      for (std::size_t i = first; i < observers.size(); i += 2) list.Subscribe(&observers[i]);
      for (std::size_t i = first; i < observers.size(); i += 2) list.Unsubscribe(&observers[i]);
    }
    for (std::size_t i = first; i < observers.size(); i += 2) list.Subscribe(&observers[i]);
  };
  std::thread other(churn, 1);
  churn(0);
  other.join();
  EXPECT_EQ(list.Observers().size(), observers.size());
}

}  // namespace
}  // namespace Tarnix::Core
