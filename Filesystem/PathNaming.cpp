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

// A stem with nothing a reader would call a name: empty, or dots and spaces
// only ("..mp4" would be a hidden file, ".." the parent directory).
[[nodiscard]] bool IsBlank(const std::string& stem) { return stem.find_first_not_of(". ") == std::string::npos; }

// Whether `name` (UTF-8) is acceptable as a file name in `parent`: by itself,
// or as the whole path when `wholePath` is set. A separator in `name` (from
// the extension) is never acceptable.
[[nodiscard]] bool IsValidName(const ioPath& parent, const std::string& name, bool wholePath) {
  return boost::filesystem::windows_name(name) && CheckValidFilename(wholePath ? parent / ioPath(name) : ioPath(name));
}

// `stem` shortened from its end, one UTF-8 character at a time, until
// `stem + suffix + extension` is a valid name in `parent`. The name alone is
// tested first (unless `wholePath`); once shortening has begun the whole path
// must fit. Sets `*shortened` when a character came off. Returns the empty
// string when the stem is blank before the name is valid, so that the caller
// decides what stands in for it; throws utf8::not_enough_room only through
// DropLastCharacter, which it never calls on a blank stem.
std::string FitStem(const ioPath& parent, std::string stem, const std::string& suffix, const std::string& extension,
                    bool wholePath, bool* shortened) {
  while (!IsValidName(parent, stem + suffix + extension, wholePath)) {
    stem = DropLastCharacter(stem);
    wholePath = true;
    *shortened = true;
    if (IsBlank(stem)) return std::string();
  }
  return stem;
}

// Whether a candidate name is taken on disk. A name too long for the file
// system cannot be taken. (Linux reports such a name as ENAMETOOLONG where
// Windows reports it as not found.)
bool IsTaken(const ioPath& candidate) {
  try {
    return ioPath::exists(candidate);
  } catch (const boost::filesystem::filesystem_error& e) {
    if (e.code() == boost::system::errc::filename_too_long) return false;
    throw;
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
  const ioPath start = pathIsDirectory ? *path / ioPath("(1)") : *path;
  // A path that is only a root ("/", "//net") names a directory: the file
  // goes in its root directory, never into a longer root name ("//net(1)").
  const bool rootOnly = start.has_root_path() && !start.has_relative_path();
  const ioPath parent = !rootOnly ? start.parent_path() : start.has_root_directory() ? start : start / ioPath("/");
  const std::string ext = extension.empty() || extension[0] == '.' ? extension : "." + extension;

  // The base name is repaired once, before any number is added, so that no
  // repair can take a number off again: leading spaces go, an invalid name is
  // shortened, and a stem with nothing usable left becomes "(1)".
  std::string stem = rootOnly ? std::string() : start.stem().utf8string();
  stem.erase(0, std::min(stem.find_first_not_of(' '), stem.size()));
  bool shortened = false;
  if (!IsBlank(stem)) stem = FitStem(parent, stem, "", ext, false, &shortened);
  if (IsBlank(stem)) {
    stem = "(1)";
    if (!IsValidName(parent, stem + ext, shortened)) throw utf8::not_enough_room();
  }

  // Numbered candidates "stem (n).ext", one counter for the call. Each one
  // differs from every other (the number closes the name), so the search
  // tests each taken name at most once. Numbers too long for the room left
  // shorten the stem, never the number; when the stem runs out, there is no
  // free name to give.
  const auto taken = [reservedPaths](const ioPath& candidate) {
    return IsTaken(candidate) || (reservedPaths != nullptr && reservedPaths->count(candidate) != 0);
  };
  ioPath candidate = parent / ioPath(stem + ext);
  for (unsigned long long n = 1; taken(candidate); ++n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    bool cut = false;
    const std::string fitted = FitStem(parent, stem, suffix, ext, shortened, &cut);
    if (fitted.empty()) throw utf8::not_enough_room();
    candidate = parent / ioPath(fitted + suffix + ext);
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
