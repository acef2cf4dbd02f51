#include "RAII/Releasable.h"

#include "support/Test.h"

#include <stdexcept>
#include <tuple>

TEST(Releasable, ThrowingReleaseIsLoggedAndOwnershipEnds) {
  Tarnix::Test::LogCapture log;
  Tarnix::Core::Releasable<int> handle(7, true, [](int) { throw std::runtime_error("close failed"); });
  for (int i = 0; i < 2; ++i) handle.Release();  // the second call owns nothing to release
  EXPECT_FALSE(handle.owned());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::tie(records[0].severity, records[0].file, records[0].text),
            std::make_tuple(google::GLOG_ERROR, "Releasable.h", "close failed"));
}
