// Directory watcher benchmarks. Run from a release build:
//
//   build/release/bench/DirectoryWatcherBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// ConstructOn10kDirectories is compared with inotifywait (package
// inotify-tools) setting up its recursive watches on the same tree in the same
// run; the inotifywait figure includes starting the process, which
// Inotifywait/OnEmptyDirectory measures alone. WriteToCallbackLatency reports the median and 99th percentile
// over 1,000 writes; CallbacksUnderTightWriter the callbacks per second while
// one thread writes a byte at a time as fast as it can (the kernel merges
// identical consecutive events that have not been read yet, so there are
// fewer callbacks than writes).
#include "Filesystem/DirectoryWatcher.h"
#include "bench/PeerProgram.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Tarnix::Core::CreateDirectoryWatcherFactory;
using Tarnix::Core::WatchEvent;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/tmp/lum-watch-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// 100 directories of 100 directories each: 10,100 with the first level.
const std::string& TenThousandDirectories() {
  static ScratchDir scratch;
  static const bool built = [] {
    for (int i = 0; i < 100; ++i) {
      const std::string outer = scratch.path() + "/" + std::to_string(i);
      ::mkdir(outer.c_str(), 0755);
      for (int j = 0; j < 100; ++j) ::mkdir((outer + "/" + std::to_string(j)).c_str(), 0755);
    }
    return true;
  }();
  (void)built;
  return scratch.path();
}

void ConstructOn10kDirectories(benchmark::State& state) {
  const auto& tree = TenThousandDirectories();
  auto factory = CreateDirectoryWatcherFactory();
  for (auto _ : state) {
    auto watcher = factory->CreateWatcher(tree, WatchEvent::Modified, [] {});
    if (!watcher) {
      state.SkipWithError("CreateWatcher failed");
      break;  // the timer calls below are not allowed after a skip
    }
    state.PauseTiming();
    watcher.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(ConstructOn10kDirectories)->Unit(benchmark::kMillisecond)->UseRealTime();

const std::string& EmptyDirectory() {
  static ScratchDir scratch;
  return scratch.path();
}

// Starts `inotifywait -m -r tree` and waits for its "Watches established."
// line. On an empty directory this measures starting the process alone.
// Without inotifywait (package inotify-tools) the comparison is skipped.
void Inotifywait(benchmark::State& state, const std::string& (*makeTree)()) {
  if (!Tarnix::Bench::OnPath("inotifywait")) {
    state.SkipWithError("inotifywait not found (package inotify-tools): comparison skipped");
    return;
  }
  const auto& tree = makeTree();
  for (auto _ : state) {
    int out[2];
    if (::pipe(out) != 0) {
      state.SkipWithError("pipe failed");
      break;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], STDERR_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::execlp("inotifywait", "inotifywait", "-m", "-r", tree.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string seen;
    char chunk[256];
    bool established = true;
    while (seen.find("Watches established") == std::string::npos) {
      const ssize_t got = ::read(out[0], chunk, sizeof chunk);
      if (got <= 0) {
        established = false;
        break;
      }
      seen.append(chunk, static_cast<std::size_t>(got));
    }
    const auto stop = [&] {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
      ::close(out[0]);
    };
    if (!established) {
      stop();
      state.SkipWithError(("inotifywait did not establish its watches: " + seen).c_str());
      break;
    }
    state.PauseTiming();
    stop();
    state.ResumeTiming();
  }
}
BENCHMARK_CAPTURE(Inotifywait, On10kDirectories, &TenThousandDirectories)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Inotifywait, OnEmptyDirectory, &EmptyDirectory)->Unit(benchmark::kMillisecond)->UseRealTime();

void WriteToCallbackLatency(benchmark::State& state) {
  constexpr int kWrites = 1000;
  ScratchDir dir;
  std::mutex mutex;
  std::condition_variable called;
  int calls = 0;
  Clock::time_point last;
  auto factory = CreateDirectoryWatcherFactory();
  auto watcher = factory->CreateWatcher(dir.path(), WatchEvent::Modified, [&] {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    last = now;
    called.notify_one();
  });
  const int fd = ::open((dir.path() + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<double> micros;
  micros.reserve(kWrites);
  for (auto _ : state) {
    for (int i = 0; i < kWrites; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      const int before = calls;
      const auto start = Clock::now();
      if (::write(fd, "x", 1) != 1) state.SkipWithError("write failed");
      called.wait(lock, [&] { return calls > before; });
      micros.push_back(std::chrono::duration<double, std::micro>(last - start).count());
    }
  }
  ::close(fd);
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(WriteToCallbackLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void CallbacksUnderTightWriter(benchmark::State& state) {
  constexpr int kWrites = 200000;
  ScratchDir dir;
  std::atomic<long> calls{0};
  auto factory = CreateDirectoryWatcherFactory();
  auto watcher =
      factory->CreateWatcher(dir.path(), WatchEvent::Modified, [&] { calls.fetch_add(1, std::memory_order_relaxed); });
  const int fd = ::open((dir.path() + "/file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  double seconds = 0;
  long reported = 0;
  for (auto _ : state) {
    const long before = calls.load();
    const auto start = Clock::now();
    for (int i = 0; i < kWrites; ++i) {
      if (::write(fd, "x", 1) != 1) state.SkipWithError("write failed");
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    reported += calls.load() - before;
  }
  ::close(fd);
  state.counters["callbacks_per_s"] = reported / seconds;
  state.counters["writes_per_s"] = kWrites * static_cast<double>(state.iterations()) / seconds;
}
BENCHMARK(CallbacksUnderTightWriter)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
