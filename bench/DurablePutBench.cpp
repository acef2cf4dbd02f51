// The price of a durable put, against by-hand sequences in the same run:
//
//   DurablePutBench <directory> [rounds=5] [files=2000] [KiB=256]
//
// Each round writes <files> sources of <KiB> each in <directory> (without
// flushing them, as a caller would) and puts each under a new key into a
// FileCache there (same file system: a move). The peers do the same writes,
// then: "durable by hand" the least work of the same guarantee (fdatasync,
// then a rename that never replaces into a directory per key); "unflushed by
// hand" the rename alone, what a put cost before it flushed (and what it
// promises at a power cut: nothing). Variants alternate; medians of the
// rounds and their ratios are printed.
#include "Filesystem/FileCache.h"

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    std::perror(what.c_str());
    std::exit(1);
  }
}

void WriteSource(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0 && ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()), path);
  ::close(fd);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Removes what the rounds left and syncs everything, so that no round pays
// for the previous one's write-back and the file system does not fill up.
void Settle(const std::string& dir) {
  for (const auto& entry : boost::filesystem::directory_iterator(dir)) boost::filesystem::remove_all(entry.path());
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ::syncfs(fd);
  ::close(fd);
}

double LibraryRound(const std::string& dir, int files, const std::string& data, int round) {
  const std::string root = dir + "/cache" + std::to_string(round);
  const Tarnix::Core::FileCache cache{Tarnix::ioPath(root), std::numeric_limits<unsigned long long>::max()};
  const auto start = Clock::now();
  for (int i = 0; i < files; ++i) {
    const std::string source = dir + "/s" + std::to_string(i);
    WriteSource(source, data);
    const std::string key = Tarnix::Core::AbstractFileCache::MakeCacheKey(std::to_string(round) + ":" + std::to_string(i));
    Check(cache.PutRecord(key, Tarnix::ioPath(source), 1'600'000'000), "PutRecord");
  }
  return Seconds(Clock::now() - start);
}

double ByHandRound(const std::string& dir, int files, const std::string& data, int round, bool flush) {
  const std::string root = dir + "/hand" + std::to_string(round) + (flush ? "d" : "u");
  Check(::mkdir(root.c_str(), 0755) == 0, root);
  const auto start = Clock::now();
  for (int i = 0; i < files; ++i) {
    const std::string source = dir + "/s" + std::to_string(i);
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0 && ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()), source);
    if (flush) Check(::fdatasync(fd) == 0, "fdatasync");
    ::close(fd);
    const std::string record = root + "/" + std::to_string(i);
    Check(::mkdir(record.c_str(), 0755) == 0, record);
    Check(::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, (record + "/s").c_str(), RENAME_NOREPLACE) == 0, "rename");
  }
  return Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " <directory> [rounds=5] [files=2000] [KiB=256]\n";
    return 2;
  }
  const std::string dir = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int files = argc > 3 ? std::atoi(argv[3]) : 2000;
  const std::string data(static_cast<std::size_t>(argc > 4 ? std::atoi(argv[4]) : 256) << 10, 'p');
  std::vector<double> library, durable, unflushed;
  for (int round = 0; round < rounds; ++round) {
    Settle(dir);
    library.push_back(LibraryRound(dir, files, data, round));
    Settle(dir);
    durable.push_back(ByHandRound(dir, files, data, round, true));
    Settle(dir);
    unflushed.push_back(ByHandRound(dir, files, data, round, false));
  }
  Settle(dir);
  const double lib = Median(library), hand = Median(durable), plain = Median(unflushed);
  std::cout << files << " puts of " << data.size() / 1024 << " KiB, median of " << rounds << " rounds:\n"
            << "  PutRecord (durable)   " << lib << " s\n"
            << "  durable by hand       " << hand << " s\n"
            << "  unflushed by hand     " << plain << " s\n"
            << "  ratio library / durable by hand   " << lib / hand << "\n"
            << "  ratio library / unflushed by hand " << lib / plain << "\n";
}
