// CopyFiles against cp(1) on the same data in the same run.
//
// Two data sets, each copied within ext4 and from ext4 to tmpfs:
//   large: one file of 1 GiB; small: 2,000 files of 256 KiB.
// The runs of a case alternate pair by pair (CopyFiles then cp, then cp then
// CopyFiles, ...); before every timed copy the destination is removed and the
// file systems are synced, untimed, so neither side pays for the other's
// write-back. Reported: the median throughput of each side and the median
// of the per-pair ratios (CopyFiles throughput / cp throughput), and, from a
// counting controller, how often Advance was called and its largest step.
//
// Usage: CopyFilesBench [runs=5] [ext4 dir=/tmp] [tmpfs dir=/dev/shm] [large|small|all]
// Without cp on the PATH, CopyFiles is measured alone (with a note).
// Peak disk use: 2 GiB in the ext4 directory, 1 GiB of memory in tmpfs; all
// of it is removed at the end.
#include "Filesystem/CopyFiles.h"
#include "bench/PeerProgram.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

extern char** environ;

namespace {

using Tarnix::ioPath;
using namespace Tarnix::Core;
namespace fs = boost::filesystem;

constexpr unsigned long long kMiB = 1ull << 20;

// Counts what the worker reports; the benchmark reads it after the join.
class CountingController final : public IProgressController {
 public:
  std::uint32_t AddRef() const override { return count_.AddRefImpl(); }
  std::uint32_t GetRefCount() const override { return count_.GetRefCountImpl(); }
  std::uint32_t Release() const override {
    const auto left = count_.ReleaseImpl();
    if (left == 0) delete this;
    return left;
  }
  void SetState(int state) override { finalState = state; }
  void SetTotal(unsigned long long total) override { totalBytes = total; }
  void SetDescription(const std::string&) override {}
  void Advance(long long bytes) override {
    ++advances;
    advanced += bytes;
    largestAdvance = std::max(largestAdvance, bytes);
  }
  bool IsCancelled() override {
    ++polls;
    return false;
  }

  int finalState = 0;
  unsigned long long totalBytes = 0;
  long long advances = 0, polls = 0, advanced = 0, largestAdvance = 0;

 private:
  ~CountingController() override = default;
  Tarnix::RefCountImpl count_;
};

std::string MakeScratchDir(const std::string& parent) {
  std::string pattern = parent + "/lumfs-copybench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed below " + parent);
  return pattern;
}

void WriteRandomFile(const std::string& path, unsigned long long size, std::mt19937_64& random) {
  std::vector<std::uint64_t> block(kMiB / sizeof(std::uint64_t));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  for (unsigned long long done = 0; done < size;) {
    for (auto& word : block) word = random();
    const std::size_t step = static_cast<std::size_t>(std::min<unsigned long long>(kMiB, size - done));
    if (::write(fd, block.data(), step) != static_cast<ssize_t>(step)) throw std::runtime_error("short write");
    done += step;
  }
  ::close(fd);
}

void SyncFileSystem(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

// Empties `dir` and syncs both file systems: the untimed part of each run.
void Reset(const std::string& dir, const std::string& sourceDir) {
  for (fs::directory_iterator it(dir), end; it != end; ++it) fs::remove_all(it->path());
  SyncFileSystem(dir);
  SyncFileSystem(sourceDir);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double TimeCp(const std::vector<std::string>& sources, const std::string& destinationDir) {
  std::vector<std::string> args = {"cp", "--"};
  args.insert(args.end(), sources.begin(), sources.end());
  args.push_back(destinationDir + "/");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0) throw std::runtime_error("spawn cp");
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("cp failed");
  return Seconds(elapsed);
}

double TimeCopyFiles(const std::vector<std::string>& sources, const std::string& destinationDir,
                     CountingController* counter) {
  std::vector<std::pair<ioPath, ioPath>> files;
  for (const auto& s : sources) files.emplace_back(ioPath(s), ioPath(destinationDir) / ioPath(fs::path(s).filename()));
  boost::intrusive_ptr<IProgressController> controller(counter);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = CopyFiles(files, controller, true);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (!ok) throw std::runtime_error("CopyFiles failed");
  return Seconds(elapsed);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Case {
  const char* name;
  const std::vector<std::string>* sources;
  std::string sourceDir;
  std::string destinationDir;
  unsigned long long bytes;
};

// Without cp (`withCp` false) only CopyFiles is measured.
bool RunCase(const Case& c, int runs, bool withCp) {
  std::vector<double> ours, theirs, ratios;
  long long advances = 0, largest = 0;
  bool progressOk = true;
  for (int run = 0; run < runs; ++run) {
    double ourTime = 0, cpTime = 0;
    for (int side = 0; side < 2; ++side) {
      Reset(c.destinationDir, c.sourceDir);
      if ((side == 0) == (run % 2 == 0)) {
        auto* counter = new CountingController;
        counter->AddRef();  // keep it readable after the job released it
        ourTime = TimeCopyFiles(*c.sources, c.destinationDir, counter);
        advances = counter->advances;
        largest = std::max(largest, counter->largestAdvance);
        // At least one Advance per 16 MiB, none larger, each followed by a poll.
        progressOk = progressOk && counter->advanced == static_cast<long long>(c.bytes) &&
                     counter->totalBytes == c.bytes && counter->largestAdvance <= static_cast<long long>(16 * kMiB) &&
                     counter->advances >= static_cast<long long>(c.bytes / (16 * kMiB)) &&
                     counter->polls == counter->advances && counter->finalState == Succeeded;
        counter->Release();
      } else if (withCp) {
        cpTime = TimeCp(*c.sources, c.destinationDir);
      }
    }
    ours.push_back(c.bytes / kMiB / ourTime);
    std::printf("  %-28s run %d: CopyFiles %8.1f MiB/s", c.name, run + 1, ours.back());
    if (withCp) {
      theirs.push_back(c.bytes / kMiB / cpTime);
      ratios.push_back(cpTime / ourTime);
      std::printf("  cp %8.1f MiB/s  ratio %.2f", theirs.back(), ratios.back());
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  Reset(c.destinationDir, c.sourceDir);
  std::printf("%-28s CopyFiles %8.1f MiB/s | ", c.name, Median(ours));
  if (withCp) {
    std::printf("cp %8.1f MiB/s | ratio %.2f (median of %d pairs) | ", Median(theirs), Median(ratios), runs);
  }
  std::printf("Advance x%lld, largest %.1f MiB, progress %s\n", advances, static_cast<double>(largest) / kMiB,
              progressOk ? "ok" : "WRONG");
  std::fflush(stdout);
  return progressOk;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::string ext4 = argc > 2 ? argv[2] : "/tmp";
  const std::string tmpfs = argc > 3 ? argv[3] : "/dev/shm";
  const std::string sets = argc > 4 ? argv[4] : "all";
  const bool withCp = Tarnix::Bench::OnPath("cp");
  if (!withCp) std::printf("CopyFilesBench: cp not found: measuring CopyFiles alone, without the comparison\n");

  const std::string scratch = MakeScratchDir(ext4);
  const std::string shmScratch = MakeScratchDir(tmpfs);
  const std::string sourceDir = scratch + "/src", ext4Out = scratch + "/out", tmpfsOut = shmScratch + "/out";
  bool ok = true;
  try {
    fs::create_directories(sourceDir);
    fs::create_directories(ext4Out);
    fs::create_directories(tmpfsOut);
    std::mt19937_64 random(42);

    // One data set at a time, to keep the disk use down.
    if (sets != "small") {
      std::vector<std::string> large = {sourceDir + "/large.bin"};
      WriteRandomFile(large[0], 1024 * kMiB, random);
      ok &= RunCase({"1 GiB, ext4 -> ext4", &large, sourceDir, ext4Out, 1024 * kMiB}, runs, withCp);
      ok &= RunCase({"1 GiB, ext4 -> tmpfs", &large, sourceDir, tmpfsOut, 1024 * kMiB}, runs, withCp);
      fs::remove(large[0]);
    }
    if (sets != "large") {
      std::vector<std::string> small;
      for (int i = 0; i < 2000; ++i) {
        small.push_back(sourceDir + "/small-" + std::to_string(i) + ".bin");
        WriteRandomFile(small.back(), 256 * 1024, random);
      }
      ok &= RunCase({"2000 x 256 KiB, ext4 -> ext4", &small, sourceDir, ext4Out, 2000ull * 256 * 1024}, runs, withCp);
      ok &= RunCase({"2000 x 256 KiB, ext4 -> tmpfs", &small, sourceDir, tmpfsOut, 2000ull * 256 * 1024}, runs,
                    withCp);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "CopyFilesBench: %s\n", e.what());
    ok = false;
  }
  fs::remove_all(scratch);
  fs::remove_all(shmScratch);
  return ok ? 0 : 1;
}
