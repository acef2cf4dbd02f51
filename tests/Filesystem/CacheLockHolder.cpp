// CacheLockHolder ROOT KEY HELD: holds the record of KEY in the hashed cache
// at ROOT, with its read lock, in a process of its own: writes its path to
// HELD (under another name, then renamed) and keeps it until HELD is removed.
// Exit status 0 when held, 1 when not found, 2 on bad usage or after a minute.
//
// CacheLockHolder --scan FILE HELD (Windows): holds FILE open the way a virus
// scanner or an indexer does, sharing reading, writing and deletion, writes
// HELD and waits for its removal as above, then prints what it reads through
// its handle. Exit status 1 when FILE cannot be opened.
#include "Filesystem/FileCache.h"

#include <chrono>
#include <fstream>
#include <iostream>
#include <limits>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using Tarnix::ioPath;

// Announces through `held` and waits until someone removes it; false on failure or after a minute.
bool Hold(const ioPath& held, const std::string& text) {
  const ioPath writing = held + ioPath(".writing");
  std::ofstream(writing.platformString().c_str()) << text;
  if (!ioPath::rename(writing, held)) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (held.exists()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
#ifdef _WIN32
  if (std::string(argv[1]) == "--scan") {
    const HANDLE file = ::CreateFileW(ioPath(argv[2]).wstring().c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const bool held = Hold(ioPath(argv[3]), "scanning");
    char buffer[256];
    DWORD got = 0;
    const bool read = ::ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    ::CloseHandle(file);
    std::cout << std::string(buffer, read ? got : 0) << std::flush;
    return held && read ? 0 : 2;
  }
#endif
  const auto record =
      Tarnix::Core::FileCache(ioPath(argv[1]), std::numeric_limits<unsigned long long>::max()).FindRecord(argv[2]);
  if (record.path.empty()) return 1;
  return Hold(ioPath(argv[3]), record.path.utf8string()) ? 0 : 2;
}
