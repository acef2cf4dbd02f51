// The cost of the optional progress callbacks: CopyDir, RemoveDir and
// ApplyCacheBudget with a callback that does what lumfs does with it (keep
// the totals, read the clock to decide whether to draw) against the same
// call without one, today's call, on the same trees in the same run.
//
//   TreeProgressBench [ROUNDS] [DIR]     default: 9 rounds below $TMPDIR or /tmp
//
// Each round times both forms of each call on freshly made trees, in
// alternating order; the medians of the thread's CPU time and of the wall
// time, and their ratios (with callback / without), are printed. On a machine
// shared with other work the CPU time is the steadier figure. Trees: 40 directories of 50 files of 4 KiB (copy, removal);
// 200 directories of 100 files of 100 bytes (budget walk, nothing removed).
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using Tarnix::ioPath;
namespace Core = Tarnix::Core;
using Clock = std::chrono::steady_clock;

namespace {

void MakeTree(const std::string& root, int directories, int files, std::size_t size) {
  const std::string payload(size, 'p');
  if (::mkdir(root.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + root);
  for (int d = 0; d < directories; ++d) {
    const std::string dir = root + "/d" + std::to_string(d);
    if (::mkdir(dir.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + dir);
    for (int f = 0; f < files; ++f) {
      const std::string path = dir + "/f" + std::to_string(f);
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::write(fd, payload.data(), size) != static_cast<ssize_t>(size)) {
        throw std::runtime_error("cannot write " + path);
      }
      ::close(fd);
    }
  }
}

// What lumfs does per report: keep the totals, and read the clock to decide
// whether a quarter of a second has passed since the last drawing.
struct Drawer {
  Clock::time_point last = Clock::now();
  unsigned long long draws = 0;
  void Tick() {
    const auto now = Clock::now();
    if (now - last < std::chrono::milliseconds(250)) return;
    last = now;
    ++draws;
  }
};

// The CPU time (user and system) the work took on this thread: other
// programs running meanwhile on a shared machine do not count.
double CpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall, cpu;
};

Timing Seconds(const std::function<void()>& work) {
  const auto start = Clock::now();
  const double cpuStart = CpuSeconds();
  work();
  return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpuStart};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Pair {
  std::vector<Timing> plain, withCallback;
  static double MedianOf(const std::vector<Timing>& timings, double Timing::*field) {
    std::vector<double> values;
    for (const Timing& timing : timings) values.push_back(timing.*field);
    return Median(values);
  }
  void Print(const char* name) const {
    for (const auto& [what, field] : {std::pair{"cpu ", &Timing::cpu}, std::pair{"wall", &Timing::wall}}) {
      const double a = MedianOf(plain, field), b = MedianOf(withCallback, field);
      std::printf("%-26s %s  without %9.2f ms  with callback %9.2f ms  ratio %.3f\n", name, what, a * 1e3, b * 1e3,
                  b / a);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
  std::string base;
  if (argc > 2) {
    base = argv[2];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    base = std::string(tmp && *tmp ? tmp : "/tmp");
  }
  std::string scratch = base + "/lumfs-tree-bench-XXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) throw std::runtime_error("mkdtemp failed below " + base);
  const ioPath root(scratch);

  MakeTree(scratch + "/source", 40, 50, 4096);
  MakeTree(scratch + "/cache", 200, 100, 100);
  Drawer drawer;
  const Core::TreeProgressCallback tree = [&](const Core::TreeProgress&) { drawer.Tick(); };
  const Core::CacheBudgetCallback budget = [&](const Core::CacheBudgetReport&) { drawer.Tick(); };
  constexpr auto kNoLimit = std::numeric_limits<unsigned long long>::max();

  Pair copy, removal, walk;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool withCallback = (round + turn) % 2 == 1;  // alternate which goes first
      const auto into = [&](Pair& pair) -> std::vector<Timing>& { return withCallback ? pair.withCallback : pair.plain; };
      const ioPath copied = root / "copy";
      into(copy).push_back(Seconds([&] {
        if (!(withCallback ? Core::CopyDir(root / "source", copied, tree) : Core::CopyDir(root / "source", copied))) {
          throw std::runtime_error("CopyDir failed");
        }
      }));
      (void)Core::RemoveDir(copied);

      MakeTree(scratch + "/doomed", 40, 50, 4096);
      into(removal).push_back(Seconds([&] {
        if (!(withCallback ? Core::RemoveDir(root / "doomed", tree) : Core::RemoveDir(root / "doomed"))) {
          throw std::runtime_error("RemoveDir failed");
        }
      }));

      into(walk).push_back(Seconds([&] {
        const auto report = withCallback ? Core::ApplyCacheBudget(root / "cache", kNoLimit, budget)
                                         : Core::ApplyCacheBudget(root / "cache", kNoLimit);
        if (report.countedFiles != 20000) throw std::runtime_error("ApplyCacheBudget missed files");
      }));
    }
  }
  (void)Core::RemoveDir(root);
  std::printf("%d rounds below %s (medians)\n", rounds, base.c_str());
  copy.Print("CopyDir (2,000 files)");
  removal.Print("RemoveDir (2,000 files)");
  walk.Print("ApplyCacheBudget (20,000)");
  return 0;
}
