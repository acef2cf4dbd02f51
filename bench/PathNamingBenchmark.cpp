// UpdateFilePathIfExist when many numbered names are already taken.
//
// The search tests one candidate after another for existence, so its cost
// should be that of the existence tests: BM_ExistenceTestsOnly performs the
// same tests (clip.mp4, clip (1).mp4 ... clip (N).mp4, each once, as the
// search does) with nothing else, for comparison.
#include "Filesystem/PathNaming.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem/operations.hpp>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Tarnix::ioPath;

// A directory holding clip.mp4 and clip (1).mp4 ... clip (taken-1).mp4.
class TakenNames {
 public:
  explicit TakenNames(int taken) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumfs-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = ioPath(pattern);
    for (int i = 0; i < taken; ++i) {
      std::ofstream((dir_ / ioPath(i == 0 ? "clip.mp4" : "clip (" + std::to_string(i) + ").mp4")).platformString());
    }
  }
  ~TakenNames() { boost::filesystem::remove_all(dir_.platformString()); }

  const ioPath& dir() const { return dir_; }

 private:
  ioPath dir_;
};

void BM_UpdateFilePathIfExist(benchmark::State& state) {
  const TakenNames names(static_cast<int>(state.range(0)));
  const ioPath expected = names.dir() / ioPath("clip (" + std::to_string(state.range(0)) + ").mp4");
  for (auto _ : state) {
    ioPath path = names.dir() / ioPath("clip");
    Tarnix::Core::UpdateFilePathIfExist(nullptr, false, "mp4", &path);
    if (path != expected) state.SkipWithError("unexpected name");
    benchmark::DoNotOptimize(path);
  }
  state.counters["existence_tests"] = static_cast<double>(state.range(0) + 1);
}

void BM_ExistenceTestsOnly(benchmark::State& state) {
  const TakenNames names(static_cast<int>(state.range(0)));
  std::vector<ioPath> candidates{names.dir() / ioPath("clip.mp4")};
  for (int i = 1; i <= state.range(0); ++i) {
    candidates.push_back(names.dir() / ioPath("clip (" + std::to_string(i) + ").mp4"));
  }
  for (auto _ : state) {
    int found = 0;
    for (const ioPath& candidate : candidates) found += candidate.exists() ? 1 : 0;
    benchmark::DoNotOptimize(found);
  }
  state.counters["existence_tests"] = static_cast<double>(candidates.size());
}

BENCHMARK(BM_UpdateFilePathIfExist)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExistenceTestsOnly)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
