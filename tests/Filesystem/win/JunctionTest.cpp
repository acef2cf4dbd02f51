// Where the system refuses to write the reparse point (Wine answers
// FSCTL_SET_REPARSE_POINT with error 50, "not supported"), create leaves
// nothing behind and says why: the error of the refused call, then the
// failed configuration.
#include "Filesystem/Junction.h"

#include "support/LogCapture.h"
#include "support/Platform.h"
#include "support/TempDir.h"

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Tarnix::Core {
namespace {

using RefusedJunctionTest = ::Tarnix::Test::TempDirTest;

TEST_F(RefusedJunctionTest, CreateRemovesTheNewDirectoryAndLogsTheError) {
  if (!::Tarnix::Test::UnderWine()) GTEST_SKIP() << "Windows writes the reparse point: JunctionTest covers it";
  const ioPath target = dir_ / "target";
  ASSERT_TRUE(ioPath::create_directory(target));
  ::Tarnix::Test::LogCapture log;
  Junction link(dir_ / "link");
  EXPECT_FALSE(link.create(target));
  EXPECT_FALSE(link.exists()) << "the directory made for the junction must go again";
  const auto quoted = [](const ioPath& path) { return boost::lexical_cast<std::string>(path); };
  std::vector<std::string> texts;
  for (const auto& record : log.records()) {
    EXPECT_EQ(record.severity, google::GLOG_ERROR);
    EXPECT_EQ(record.file, "Junction.cpp");
    texts.push_back(record.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Can't create junction " + quoted(link.path()) + " with error 50",
                       "Junction configuration failed. Junction: " + quoted(link.path()) + " target: " + quoted(target)}));
}

}  // namespace
}  // namespace Tarnix::Core
