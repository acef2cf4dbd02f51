// Writes GetApplicationDir() of its own process to stdout, byte for byte.
// The tests start it with chosen argument vectors.
#include "Filesystem/TemporaryDirectories.h"

#include <iostream>

int main() {
  std::cout << Tarnix::Core::GetApplicationDir().utf8string() << std::flush;
  return std::cout ? 0 : 1;
}
