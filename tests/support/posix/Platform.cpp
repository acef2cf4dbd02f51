#include "support/Platform.h"

namespace Tarnix::Test {

bool UnderWine() { return false; }

}  // namespace Tarnix::Test
