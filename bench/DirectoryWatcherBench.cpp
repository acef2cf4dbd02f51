// Directory watcher benchmarks. Run from a release build:
//
//   build/release/bench/DirectoryWatcherBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// ConstructOn10kDirectories is compared with inotifywait (package
// inotify-tools) setting up its recursive watches on the same tree in the same
// run; the inotifywait figure includes starting the process, which
// Inotifywait/OnEmptyDirectory measures alone. DestroyIdleWatcher times the
// stop of a watcher that waits for changes. WriteToCallbackLatency reports the median and 99th percentile
// over 1,000 writes; CallbacksUnderTightWriter the callbacks per second while
// one thread writes a byte at a time as fast as it can (the kernel merges
// identical consecutive events that have not been read yet, so there are
// fewer callbacks than writes). Both run for the plain watcher (a callback
// without arguments), the detailed one (a ChangeRecord with the path) and, as
// the floor, a thread reading one inotify watch by hand.
#include "Filesystem/DirectoryWatcher.h"
#include "bench/PeerProgram.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Tarnix::Core::ChangeAction;
using Tarnix::Core::ChangeRecord;
using Tarnix::Core::CreateChangeWatcher;
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

// How long destroying an idle watcher takes: its worker is woken from its
// wait (not timed out), joined, and its descriptors closed; the kernel's
// grace period for a closed inotify instance is most of it.
void DestroyIdleWatcher(benchmark::State& state) {
  auto factory = CreateDirectoryWatcherFactory();
  for (auto _ : state) {
    state.PauseTiming();
    auto watcher = factory->CreateWatcher(EmptyDirectory(), WatchEvent::Modified, [] {});
    state.ResumeTiming();
    if (!watcher) {
      state.SkipWithError("CreateWatcher failed");
      break;
    }
    watcher.reset();
  }
}
BENCHMARK(DestroyIdleWatcher)->Unit(benchmark::kMillisecond)->UseRealTime();

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

// The floor: one inotify watch on the directory, read by a thread of its own
// that calls `onWrite` for each IN_MODIFY, stopped through an eventfd.
class RawInotify {
 public:
  RawInotify(const std::string& directory, std::function<void()> onWrite)
      : inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)), stop_(::eventfd(0, EFD_CLOEXEC)),
        onWrite_(std::move(onWrite)) {
    if (inotify_ < 0 || stop_ < 0 || ::inotify_add_watch(inotify_, directory.c_str(), IN_MODIFY) < 0) {
      throw std::runtime_error("inotify failed");
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~RawInotify() {
    const std::uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
    ::close(inotify_);
  }

 private:
  void Run() {
    alignas(inotify_event) char buffer[64 * 1024];
    pollfd fds[2] = {{stop_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    while (::poll(fds, 2, -1) >= 0 && fds[0].revents == 0) {
      for (ssize_t got; (got = ::read(inotify_, buffer, sizeof buffer)) > 0;) {
        for (ssize_t offset = 0; offset < got;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
          offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
          if ((event->mask & IN_MODIFY) != 0) onWrite_();
        }
      }
    }
  }

  int inotify_;
  int stop_;
  std::function<void()> onWrite_;
  std::thread thread_;
};

enum class Subject { Plain, Detailed, RawInotify };

// Watches `directory` with `subject`, calling `onWrite` for each write it reports.
std::shared_ptr<void> Watch(Subject subject, const std::string& directory, std::function<void()> onWrite) {
  switch (subject) {
    case Subject::Plain:
      return CreateDirectoryWatcherFactory()->CreateWatcher(directory, WatchEvent::Modified, std::move(onWrite));
    case Subject::Detailed:
      return CreateChangeWatcher(directory, [onWrite = std::move(onWrite)](const ChangeRecord& record) {
        if (record.action == ChangeAction::Modified) onWrite();
      });
    case Subject::RawInotify:
      return std::make_shared<RawInotify>(directory, std::move(onWrite));
  }
  return nullptr;
}

void WriteToCallbackLatency(benchmark::State& state, Subject subject) {
  constexpr int kWrites = 1000;
  ScratchDir dir;
  std::mutex mutex;
  std::condition_variable called;
  int calls = 0;
  Clock::time_point last;
  auto watcher = Watch(subject, dir.path(), [&] {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    last = now;
    called.notify_one();
  });
  if (!watcher) state.SkipWithError("watch failed");
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
BENCHMARK_CAPTURE(WriteToCallbackLatency, plain, Subject::Plain)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteToCallbackLatency, detailed, Subject::Detailed)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(WriteToCallbackLatency, raw_inotify, Subject::RawInotify)
    ->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void CallbacksUnderTightWriter(benchmark::State& state, Subject subject) {
  constexpr int kWrites = 200000;
  ScratchDir dir;
  std::atomic<long> calls{0};
  auto watcher = Watch(subject, dir.path(), [&] { calls.fetch_add(1, std::memory_order_relaxed); });
  if (!watcher) state.SkipWithError("watch failed");
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
BENCHMARK_CAPTURE(CallbacksUnderTightWriter, plain, Subject::Plain)
    ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(CallbacksUnderTightWriter, detailed, Subject::Detailed)
    ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(CallbacksUnderTightWriter, raw_inotify, Subject::RawInotify)
    ->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
