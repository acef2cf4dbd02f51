#include "Command.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace lumfs {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) { interrupted.store(true); }

}  // namespace

void Fail(const Tarnix::ioPath& path, const std::string& reason) { throw CommandError(Show(path) + ": " + reason); }

std::string Show(const Tarnix::ioPath& path) { return path.utf8string(); }

void RequireExisting(const Tarnix::ioPath& path) {
  if (!Tarnix::Core::FileExists(path)) Fail(path, std::strerror(ENOENT));
}

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  std::ostringstream out;
  out << std::fixed << std::setprecision(unit == 0 ? 0 : 1) << bytes << ' ' << kUnits[unit];
  return out.str();
}

unsigned long long ParseSize(const std::string& text) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    throw CLI::ValidationError("LIMIT", "not a size: " + text);
  }
  const std::string suffix = text.substr(used);
  double scale = 1;
  if (suffix == "K" || suffix == "k") {
    scale = 1024.0;
  } else if (suffix == "M" || suffix == "m") {
    scale = 1024.0 * 1024;
  } else if (suffix == "G" || suffix == "g") {
    scale = 1024.0 * 1024 * 1024;
  } else if (!suffix.empty()) {
    throw CLI::ValidationError("LIMIT", "unknown size suffix in " + text + " (use K, M or G)");
  }
  if (value < 0 || !std::isfinite(value)) throw CLI::ValidationError("LIMIT", "not a size: " + text);
  return static_cast<unsigned long long>(value * scale);
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return interrupted.load(); }

void WaitForInterrupt() {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  while (!Interrupted()) sigsuspend(&previous);  // atomically unblocks and waits: no lost wake-up
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace lumfs
