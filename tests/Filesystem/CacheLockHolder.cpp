// CacheLockHolder ROOT KEY HELD: holds the record of KEY in the hashed cache
// at ROOT, with its read lock, in a process of its own: writes its path to
// HELD (under another name, then renamed) and keeps it until HELD is removed.
// Exit status 0 when held, 1 when not found, 2 on bad usage or after a minute.
#include "Filesystem/FileCache.h"

#include <chrono>
#include <fstream>
#include <limits>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  using Tarnix::ioPath;
  const ioPath held(argv[3]);
  const auto record =
      Tarnix::Core::FileCache(ioPath(argv[1]), std::numeric_limits<unsigned long long>::max()).FindRecord(argv[2]);
  if (record.path.empty()) return 1;
  const ioPath writing = held + ioPath(".writing");
  std::ofstream(writing.platformString().c_str()) << record.path.utf8string();
  if (!ioPath::rename(writing, held)) return 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (held.exists()) {
    if (std::chrono::steady_clock::now() > deadline) return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}
