#include "RAII/Releasable.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace Tarnix::Core {
namespace {

// Records which values were released, in order.
struct Released {
  std::vector<int> values;
  Releasable<int> Make(int value, bool owned) {
    return Releasable<int>(value, owned, [this](int v) { values.push_back(v); });
  }
};

TEST(Releasable, ReleasesOnlyOwnedValuesExactlyOnce) {
  Released released;
  {
    auto owning = released.Make(1, true);
    auto notOwning = released.Make(2, false);
    owning.Release();
    EXPECT_FALSE(owning.owned());
  }
  EXPECT_EQ(released.values, std::vector<int>{1});
}

TEST(Releasable, MoveAssignmentHandsTheOldValueToTheSource) {
  Released released;
  {
    auto destination = released.Make(1, true);
    {
      auto source = released.Make(2, true);
      destination = std::move(source);
      EXPECT_EQ(destination.get(), 2);
    }
    EXPECT_EQ(released.values, std::vector<int>{1});  // the source released what the destination held
  }
  EXPECT_EQ(released.values, (std::vector<int>{1, 2}));
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

TEST(Releasable, FdOwnerOwnsOnlyValidDescriptors) {
  EXPECT_FALSE(MakeReleasableFd(-1).owned());
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  { auto readEnd = MakeReleasableFd(fds[0]); }
  EXPECT_EQ(::close(fds[0]), -1);  // already closed by the owner
  EXPECT_EQ(::close(fds[1]), 0);
}

}  // namespace
}  // namespace Tarnix::Core
