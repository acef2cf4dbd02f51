#include "Filesystem/ProgressController.h"

#include <gtest/gtest.h>

namespace Tarnix::Core {
namespace {

// Steps "+i" subscribe observer i, "-i" unsubscribe it, i 0 is null; the
// expected list names the observers in order. Calls go through the
// publisher interface, as other modules make them.
TEST(EventHandlerList, KeepsEachObserverOnceInSubscriptionOrder) {
  IProgressObserver observers[3];
  const std::pair<const char*, const char*> cases[] = {
      {"+1+2+1", "12"},      // a second subscription changes nothing
      {"+1+2+3-2", "13"},    // the later ones move up, in order
      {"+1-3-1-1+1", "1"},   // never subscribed, or no longer
      {"+0+1-0", "1"},       // null
      {"+3+1+2-1+1", "321"},
  };
  for (const auto& [steps, expected] : cases) {
    SCOPED_TRACE(steps);
    EventHandlerList<IProgressObserver, SyncExecutePolicy> list;
    EventPublisher<IProgressObserver>& publisher = list;
    for (const char* step = steps; *step; step += 2) {
      IProgressObserver* observer = step[1] == '0' ? nullptr : &observers[step[1] - '1'];
      step[0] == '+' ? publisher.Subscribe(observer) : publisher.Unsubscribe(observer);
    }
    std::string actual;
    for (IProgressObserver* o : list.Observers()) actual += static_cast<char>('1' + (o - observers));
    EXPECT_EQ(actual, expected);
  }
}

}  // namespace
}  // namespace Tarnix::Core
