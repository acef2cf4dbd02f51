#include "Filesystem/PathNaming.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/errc.hpp>

#include <utf8.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <locale>
#include <string>
#include <utility>

namespace Tarnix::Core {

namespace {

constexpr std::size_t kMaxPathBytes = 255;

// Whether the last element of `path` is `suffix`, ignoring letter case as the
// global locale's ctype facet folds single bytes.
bool EndsWithElement(const ioPath& path, const std::string& suffix) {
  const std::string name = path.filename().utf8string();
  if (name.size() != suffix.size()) return false;
  const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (ctype.toupper(name[i]) != ctype.toupper(suffix[i])) return false;
  }
  return true;
}

bool IsContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// `stem` without its last UTF-8 character; invalid sequences in what remains
// become '-'. Throws utf8::not_enough_room when there is nothing to remove.
std::string DropLastCharacter(const std::string& stem) {
  if (stem.empty()) throw utf8::not_enough_room();
  auto last = stem.end() - 1;
  while (last != stem.begin() && IsContinuationByte(*last)) --last;
  std::string kept;
  utf8::replace_invalid(stem.begin(), last, std::back_inserter(kept), '-');
  return kept;
}

// Whether a candidate name is taken on disk. A name too long for the file
// system cannot be taken: the validity step shortens it afterwards. (Linux
// reports such a name as ENAMETOOLONG where Windows reports it as not found.)
bool IsTaken(const ioPath& candidate) {
  try {
    return ioPath::exists(candidate);
  } catch (const boost::filesystem::filesystem_error& e) {
    if (e.code() == boost::system::errc::filename_too_long) return false;
    throw;
  }
}

// The file name one naming step settled on, and whether the step changed it.
struct NamingStep {
  ioPath name;
  bool changed = false;
};

// While `candidate` exists (or once unconditionally when `force` is set),
// numbers its stem with the next value of the shared counter `n`:
// "clip.mp4" -> "clip (n).mp4". The stem is the one of the original name.
NamingStep NumberIfTaken(ioPath candidate, bool force, int& n) {
  const ioPath parent = candidate.parent_path();
  // "stem (n).ext": n in decimal, independent of any locale.
  const ioPath head = candidate.stem() + ioPath(" (");
  const ioPath tail = ioPath(")") + candidate.extension();
  NamingStep step{candidate.filename()};
  while (IsTaken(candidate) || force) {
    step.name = head + ioPath(std::to_string(n)) + tail;
    candidate = parent / step.name;
    ++n;
    force = false;
    step.changed = true;
  }
  return step;
}

// Makes the name of `candidate` acceptable: leading spaces dropped, a name
// that is all extension replaced by "(n).ext" without consuming `n`, and an
// invalid name shortened from the end of its stem until the whole path passes
// CheckValidFilename. Any change sends the name through the existence test
// again, so that "  clip.mp4" never ends as a "clip.mp4" that exists.
NamingStep MakeValid(const ioPath& candidate, int n) {
  const ioPath filename = candidate.filename();
  std::string text = filename.utf8string();
  const std::size_t leadingSpaces = std::min(text.find_first_not_of(' '), text.size());
  text.erase(0, leadingSpaces);
  NamingStep step{ioPath(text), leadingSpaces != 0};

  if (filename.stem().empty()) {
    step.name = ioPath("(" + std::to_string(n) + ")") + candidate.extension();
    step.changed = true;
    return step;
  }

  // The first test looks at the name alone, so a valid name survives a long
  // parent; once shortening has begun, the whole path must fit.
  ioPath underTest = step.name;
  while (!CheckValidFilename(underTest)) {
    step.name = ioPath(DropLastCharacter(underTest.stem().utf8string())) + candidate.extension();
    underTest = candidate.parent_path() / step.name;
    step.changed = true;
  }
  return step;
}

// Numbers and validates from `start` until neither step changes the name.
ioPath FindFreeName(const ioPath& start, bool force, int& n) {
  const ioPath parent = start.parent_path();
  ioPath current = start;
  for (;;) {
    const NamingStep numbered = NumberIfTaken(current, force, n);
    current = parent / numbered.name;
    const NamingStep valid = MakeValid(current, n);
    current = parent / valid.name;
    if (!numbered.changed && !valid.changed) return current;
    force = false;
  }
}

}  // namespace

ioPath AddDirectorySuffixIfRequired(const ioPath& path, const std::string& suffix) {
  if (EndsWithElement(path, suffix)) return path;
  ioPath withSuffix = path / ioPath(suffix);
  return ioPath::exists(withSuffix) ? withSuffix : path;
}

ioPath RemoveDirectorySuffixIfRequired(const ioPath& path, const std::string& suffix) {
  return EndsWithElement(path, suffix) ? path.parent_path() : path;
}

bool CheckValidFilename(const ioPath& path) {
  if (path.empty() || path.utf8string().size() > kMaxPathBytes) return false;
  // The Windows rule on every platform, whatever the native check says here.
  return boost::filesystem::windows_name(path.filename().utf8string());
}

void UpdateFilePathIfExist(const std::set<ioPath>* reservedPaths,
                           bool pathIsDirectory,
                           const std::string& extension,
                           ioPath* path) {
  if (path == nullptr) return;
  int n = 1;  // shared by every step of this call, never reset
  if (pathIsDirectory) *path = *path / ioPath("(1)");
  path->replace_extension(ioPath(extension));

  ioPath candidate = FindFreeName(*path, /*force=*/false, n);
  if (reservedPaths != nullptr) {
    while (!reservedPaths->empty() && reservedPaths->count(candidate) != 0) {
      candidate = FindFreeName(*path, /*force=*/true, n);
    }
  }
  *path = std::move(candidate);
}

std::map<ioPath, std::vector<ioPath>> MakeDirectoryToFileListMap(const std::vector<ioPath>& files) {
  std::map<ioPath, std::vector<ioPath>> byDirectory;
  std::set<ioPath> listed;  // equal paths have equal parents: one set serves every list
  for (const ioPath& file : files) {
    std::vector<ioPath>& list = byDirectory[file.parent_path()];
    if (listed.insert(file).second) list.push_back(file);
  }
  return byDirectory;
}

}  // namespace Tarnix::Core
