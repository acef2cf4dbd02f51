#include "Filesystem/ioPath.h"

#include <gtest/gtest.h>

namespace Tarnix {
namespace {

TEST(ioPath, DefaultIsEmpty) { EXPECT_TRUE(ioPath().empty()); }

}  // namespace
}  // namespace Tarnix
