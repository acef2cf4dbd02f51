#include "RAII/Releasable.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace Tarnix::Core {
namespace {

TEST(Releasable, ReleasesOwnedValuesOnceAndMoveAssignmentSwaps) {
  std::vector<int> released;
  const auto make = [&](int value, bool owned) {
    return Releasable<int>(value, owned, [&](int v) { released.push_back(v); });
  };
  {
    auto destination = make(1, true);
    auto notOwning = make(2, false);
    {
      auto source = make(3, true);
      destination = std::move(source);
      EXPECT_EQ(destination.get(), 3);
    }
    EXPECT_EQ(released, std::vector<int>{1});  // the source released what the destination held
    destination.Release();
  }
  EXPECT_EQ(released, (std::vector<int>{1, 3}));
}

TEST(Releasable, ThrowingReleaseIsLoggedAndOwnershipEnds) {
  Tarnix::Test::LogCapture log;
  Releasable<int> handle(7, true, [](int) { throw std::runtime_error("close failed"); });
  handle.Release();
  EXPECT_FALSE(handle.owned());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(records[0].file, "Releasable.h");
  EXPECT_EQ(records[0].text, "close failed");
}

}  // namespace
}  // namespace Tarnix::Core
