// CheckValidFilename on arbitrary bytes, and UpdateFilePathIfExist in a
// private temporary directory holding files named by the input, with a
// reserved set named by the input too. The result must be a valid name in
// the wanted directory that is neither reserved nor on disk, found with at
// most one existence test per taken name (plus two). The exceptions allowed:
// utf8::not_enough_room only when no name could fit, and filesystem_error
// only for a directory with a NUL byte in it.
//
// Input lines ('\n'): a flags byte followed by the wanted name; the
// extension; then any number of lines "e<name>" (an existing file), "d<name>"
// (an existing directory) or "r<name>" (a reserved name). Flags: bit 0 asks
// for a directory (the name is then unused); bits 1-2 choose where: 0 the
// current directory with a relative path, 1 the private directory, 2 a
// subdirectory of it with a name of 200 bytes. Relative paths are taken from
// the private directory.
#include "Filesystem/PathNaming.h"
#include "fuzz/FuzzCheck.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utf8.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using Tarnix::ioPath;
namespace fs = boost::filesystem;

// Existence tests made so far: the library tests with statx (through
// Boost.Filesystem), which this program interposes below.
unsigned long statCalls = 0;

// The private directory, removed at exit.
class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/lumfs-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    root_ = pattern;
    deep_ = root_ / std::string(200, 'p');
    fs::create_directory(deep_);
  }
  ~Scratch() {
    boost::system::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const fs::path& root() const { return root_; }
  const fs::path& deep() const { return deep_; }

 private:
  fs::path root_;
  fs::path deep_;
};

// The rule CheckValidFilename documents, written out independently.
bool FollowsNameRule(const std::string& path) {
  if (path.empty() || path.size() > 255) return false;
  const std::string name = ioPath(path).filename().utf8string();
  if (name.empty() || name.front() == ' ' || name.back() == ' ') return false;
  if (name.back() == '.' && name != "." && name != "..") return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|", c) != nullptr) return false;
  }
  return true;
}

// Empties `directory`, then creates the entries the input names in it.
// Returns how many there are.
std::size_t Populate(const fs::path& directory, const std::vector<std::string>& lines) {
  for (fs::directory_iterator it(directory), end; it != end; ++it) {
    if (it->path() != directory / std::string(200, 'p')) fs::remove_all(it->path());
  }
  std::size_t made = 0;
  for (const std::string& line : lines) {
    if (line.empty() || (line[0] != 'e' && line[0] != 'd')) continue;
    std::string name = line.substr(1, 255);
    for (char& c : name) {
      if (c == '/' || c == '\0') c = '_';
    }
    if (name.empty() || name == "." || name == "..") continue;
    const fs::path entry = directory / name;
    boost::system::error_code ec;
    if (line[0] == 'd') {
      fs::create_directory(entry, ec);
    } else {
      const int fd = ::open(entry.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) ::close(fd);
    }
    if (fs::exists(fs::symlink_status(entry, ec))) ++made;
  }
  return made;
}

// Makes `directory` the current one until destroyed, for relative paths. Only
// the call under test runs inside: libFuzzer's own files stay where it put them.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& directory) : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    FUZZ_CHECK(previous_ >= 0 && ::chdir(directory.c_str()) == 0);
  }
  ~WorkingDirectory() {
    FUZZ_CHECK(::fchdir(previous_) == 0);
    ::close(previous_);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  const int previous_;
};

}  // namespace

// Counts every statx of the process, then makes the real call. Visible to the
// shared libraries, whatever the build's default visibility.
extern "C" __attribute__((visibility("default"))) int statx(int directory, const char* path, int flags, unsigned int mask, struct statx* buffer) noexcept {
  using Statx = int (*)(int, const char*, int, unsigned int, struct statx*);
  static const auto real = reinterpret_cast<Statx>(::dlsym(RTLD_NEXT, "statx"));
  ++statCalls;
  return real(directory, path, flags, mask, buffer);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  std::vector<std::string> lines;
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (std::size_t begin = 0; begin <= input.size() && lines.size() < 12;) {
    const std::size_t end = std::min(input.find('\n', begin), input.size());
    lines.push_back(input.substr(begin, end - begin));
    begin = end + 1;
  }
  const std::string& first = lines[0];
  FUZZ_CHECK(Tarnix::Core::CheckValidFilename(ioPath(input)) == FollowsNameRule(input));
  if (first.empty() || lines.size() < 2) return 0;

  const unsigned flags = static_cast<unsigned char>(first[0]);
  const bool isDirectory = (flags & 1) != 0;
  const unsigned place = (flags >> 1) & 3;
  const std::string wanted = first.substr(1);
  const std::string& extension = lines[1];
  const std::vector<std::string> entries(lines.begin() + 2, lines.end());

  // Where the file goes, and the path handed to the library.
  const ioPath directory = place == 0 ? ioPath() : place == 2 ? ioPath(scratch.deep()) : ioPath(scratch.root());
  const std::size_t existing = Populate(place == 2 ? scratch.deep() : scratch.root(), entries);
  std::set<ioPath> reserved;
  for (const std::string& line : entries) {
    if (!line.empty() && line[0] == 'r') reserved.insert(directory / ioPath(line.substr(1)));
  }
  const ioPath start = isDirectory ? directory : directory / ioPath(wanted);
  // The directory of the new file; a path that is only a root ("/", "//net")
  // names one, by its root directory.
  const bool rootOnly = start.has_root_path() && !start.has_relative_path();
  const ioPath parent = isDirectory ? start
                        : rootOnly  ? (start.has_root_directory() ? start : start / ioPath("/"))
                                    : start.parent_path();
  ioPath result = start;

  unsigned long tests = 0;
  try {
    const WorkingDirectory inScratch(scratch.root());
    statCalls = 0;
    Tarnix::Core::UpdateFilePathIfExist(&reserved, isDirectory, extension, &result);
    tests = statCalls;
  } catch (const utf8::not_enough_room&) {
    // Only when no name can fit: a bad extension or no room in the parent.
    const std::string dotted = extension.empty() || extension[0] == '.' ? extension : "." + extension;
    const bool roomy = place != 2 && parent.utf8string().size() < 100 && dotted.size() < 100;
    FUZZ_CHECK(!(roomy && fs::windows_name("x" + dotted)));
    FUZZ_CHECK(result == start);
    return 0;
  } catch (const fs::filesystem_error& e) {
    // Only for a directory the system cannot be asked about: one with a NUL byte.
    FUZZ_CHECK(e.code().value() == EINVAL);
    FUZZ_CHECK(parent.utf8string().find('\0') != std::string::npos);
    FUZZ_CHECK(result == start);
    return 0;
  }
  FUZZ_CHECK(tests >= 1);  // the interposition works
  FUZZ_CHECK(tests <= existing + reserved.size() + 2);

  const std::string name = result.filename().utf8string();
  FUZZ_CHECK(result.parent_path() == (parent / ioPath("x")).parent_path());
  FUZZ_CHECK(fs::windows_name(name) && name.size() <= 255);
  if (parent.empty()) FUZZ_CHECK(Tarnix::Core::CheckValidFilename(result));
  const std::string dotted = extension.empty() || extension[0] == '.' ? extension : "." + extension;
  FUZZ_CHECK(name.size() > dotted.size() && name.compare(name.size() - dotted.size(), dotted.size(), dotted) == 0);
  FUZZ_CHECK(reserved.count(result) == 0);
  // Nothing there, or a directory part too long to hold anything.
  boost::system::error_code ec;
  const fs::path onDisk = result.is_absolute() ? fs::path(result.platformString()) : scratch.root() / result.platformString();
  FUZZ_CHECK(!fs::exists(onDisk, ec));
  FUZZ_CHECK(!ec || ec.value() == ENOENT || ec.value() == ENOTDIR || ec.value() == ENAMETOOLONG);
  return 0;
}
