#include "support/TempDir.h"
#include "support/Test.h"

#include <boost/filesystem/operations.hpp>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace Tarnix::Test {

std::string HelperProgram(const std::string& built) {
  const ioPath here = RunningProgram().parent_path();
  if (!(here / "run-tests.cmd").exists()) return built;
  return (here / ioPath(built).filename()).utf8string();
}

TempDir::TempDir(const std::string& parent) : path_(detail::MakeUniqueDirectory(parent)) {}

TempDir::~TempDir() { detail::ForceRemoveTree(path_); }

void WriteFile(const ioPath& path, const std::string& contents) {
  std::ofstream out(path.platformString().c_str(), std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path.utf8string());
}

std::string ReadFile(const ioPath& path) {
  std::ifstream in(path.platformString().c_str(), std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

long EntriesIn(const ioPath& dir) { return std::distance(dir.iterator(), boost::filesystem::directory_iterator()); }

void SetFileTime(const ioPath& path, long long secondsSinceEpoch) {
  boost::filesystem::last_write_time(boost::filesystem::path(path.platformString()), secondsSinceEpoch);
}

}  // namespace Tarnix::Test
