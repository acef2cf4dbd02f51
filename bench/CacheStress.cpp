// Many processes hammering one cache root: finds that read the found file
// while holding it, puts, removals and clean-ups, for a fixed time. Not a
// benchmark and not a test: it counts what a user of the cache would have
// seen go wrong.
//
//   CacheStress hashed|flat ROOT SOURCES [processes=4] [seconds=60] [first id=0]
//
// SOURCES is where each process writes the files it puts, in a directory of
// its own under names the others use too, so that puts of several processes
// meet at one cached path (on ROOT's file system they are moved in, on
// another one copied). Every file says which
// timestamp it was put with and its length and letter follow from it, so a
// torn, mixed, stale or staged file shows. Runs on several machines sharing
// ROOT (tests/distributed/) give each run its own first id, so that stamps
// stay unique between all of them. Prints one line:
//   reads checked N, reads bad N, exceptions N (puts N, removes N, clean-ups N)
// and exits 1 when a read was bad or an exception escaped.
// bench/cache_stress.sh runs every variant (both caches; sources on the same
// or another file system; the root on a FUSE mount); the fault tests run it
// for a few seconds.
#include "Filesystem/FileCache.h"
#include "Filesystem/FlatFileCache.h"

#include <glog/logging.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using Tarnix::ioPath;
using namespace Tarnix::Core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kFirstStamp = 1'600'000'000;
constexpr int kKeys = 3;
constexpr int kReadsWhileHeld = 5;

struct Counts {
  long long readsChecked = 0, readsBad = 0, exceptions = 0, puts = 0, removes = 0, cleanups = 0;
};

std::string Payload(long long stamp) {
  return std::to_string(stamp) + "\n" + std::string((16u << 10) * (1 + stamp % 5), static_cast<char>('a' + stamp % 26));
}

std::string ReadAll(const ioPath& path) {
  std::ifstream in(path.platformString(), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteAll(const ioPath& path, const std::string& contents) {
  std::ofstream out(path.platformString(), std::ios::binary | std::ios::trunc);
  out << contents;
}

void Work(bool hashed, const ioPath& root, const ioPath& sources, int id, Clock::time_point end, Counts* counts) {
  std::mt19937 random(static_cast<unsigned>(id) * 7919u + 1);
  std::unique_ptr<AbstractFileCache> cache;
  if (hashed) {
    cache = std::make_unique<FileCache>(root, ~0ull);
  } else {
    cache = std::make_unique<FlatFileCache>(root);
  }
  // Stamps never repeat between processes, so a file always tells who put it.
  for (long long sequence = 0; Clock::now() < end; ++sequence) {
    const std::string key = AbstractFileCache::MakeCacheKey("key " + std::to_string(random() % kKeys));
    const unsigned action = random() % 10;
    try {
      if (action < 4) {
        const long long stamp = kFirstStamp + sequence * 100 + id;
        const ioPath source = sources / std::to_string(id) / ("p" + std::to_string(random() % 2));
        WriteAll(source, Payload(stamp));
        counts->puts += cache->PutRecord(key, source, stamp);
      } else if (action < 8) {
        const auto record = cache->FindRecord(key);
        if (record.path.empty()) continue;
        for (int read = 0; read < kReadsWhileHeld; ++read) {
          ++counts->readsChecked;
          const bool staged = record.path.filename().utf8string().rfind('.', 0) == 0;
          const std::string contents = staged ? std::string() : ReadAll(record.path);
          if (staged || contents != Payload(record.timestamp)) {
            if (++counts->readsBad <= 3) {
              std::fprintf(stderr, "process %d: bad read of %s (stamp %lld, read %zu bytes of %zu, read %d of %d)\n", id,
                           record.path.utf8string().c_str(), record.timestamp, contents.size(),
                           Payload(record.timestamp).size(), read + 1, kReadsWhileHeld);
            }
            break;
          }
        }
      } else if (action < 9 || !hashed) {
        auto record = cache->FindRecord(key);
        record.readLock.reset();
        counts->removes += !cache->RemoveRecord(record);
      } else {
        FileCache(root, 256u << 10);  // over budget: removes whatever nobody holds
        ++counts->cleanups;
      }
    } catch (const std::exception& e) {
      if (++counts->exceptions <= 3) std::fprintf(stderr, "process %d: %s\n", id, e.what());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (std::strcmp(argv[1], "hashed") != 0 && std::strcmp(argv[1], "flat") != 0)) {
    std::fprintf(stderr, "usage: %s hashed|flat ROOT SOURCES [processes=4] [seconds=60] [first id=0]\n", argv[0]);
    return 2;
  }
  // Clean-ups meet held files all the time; their WARNINGs are expected here.
  FLAGS_minloglevel = google::GLOG_ERROR;
  const bool hashed = std::strcmp(argv[1], "hashed") == 0;
  const ioPath root(argv[2]), sources(argv[3]);
  const int processes = argc > 4 ? std::atoi(argv[4]) : 4;
  const int seconds = argc > 5 ? std::atoi(argv[5]) : 60;
  const int firstId = argc > 6 ? std::atoi(argv[6]) : 0;
  ioPath::create_directories(root);
  for (int id = firstId; id < firstId + processes; ++id) ioPath::create_directories(sources / std::to_string(id));
  const auto end = Clock::now() + std::chrono::seconds(seconds);

  std::vector<std::pair<int, int>> children;  // pid, read end of its pipe
  for (int id = firstId; id < firstId + processes; ++id) {
    int fds[2];
    if (::pipe(fds) != 0) return 3;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      Counts counts;
      Work(hashed, root, sources, id, end, &counts);
      const ssize_t written = ::write(fds[1], &counts, sizeof counts);
      ::_exit(written == static_cast<ssize_t>(sizeof counts) ? 0 : 4);
    }
    ::close(fds[1]);
    children.emplace_back(pid, fds[0]);
  }
  Counts total;
  bool childFailed = false;
  for (const auto& [pid, fd] : children) {
    Counts counts;
    const bool got = ::read(fd, &counts, sizeof counts) == static_cast<ssize_t>(sizeof counts);
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    childFailed = childFailed || !got || status != 0;
    total.readsChecked += counts.readsChecked;
    total.readsBad += counts.readsBad;
    total.exceptions += counts.exceptions;
    total.puts += counts.puts;
    total.removes += counts.removes;
    total.cleanups += counts.cleanups;
  }
  std::printf("reads checked %lld, reads bad %lld, exceptions %lld (puts %lld, removes %lld, clean-ups %lld)%s\n",
              total.readsChecked, total.readsBad, total.exceptions, total.puts, total.removes, total.cleanups,
              childFailed ? ", a process failed" : "");
  return total.readsBad == 0 && total.exceptions == 0 && !childFailed ? 0 : 1;
}
