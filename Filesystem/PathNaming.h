// Reasoning about names rather than contents: adding or dropping a trailing
// directory element, testing whether a path can name a file, finding a free
// name for a new output file, grouping files by directory.
//
// Only AddDirectorySuffixIfRequired and UpdateFilePathIfExist look at the
// disk (existence tests, which let boost::filesystem::filesystem_error out);
// the others work on the path text alone and throw nothing but
// std::bad_alloc. No shared state; any thread may call them.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace Tarnix::Core {

// Suffixes below match the UTF-8 text of the path's last element when both
// have the same length in bytes and are equal byte by byte after upper-casing
// with the global locale's std::ctype<char> (with the classic locale: ASCII
// letters only).

// `path / suffix` when that exists and `path` does not already end in
// `suffix`; otherwise `path`.
LUMFILESYSTEM_EXPORT ioPath AddDirectorySuffixIfRequired(const ioPath& path, const std::string& suffix);

// The parent of `path` when its last element is `suffix`; otherwise `path`.
LUMFILESYSTEM_EXPORT ioPath RemoveDirectorySuffixIfRequired(const ioPath& path, const std::string& suffix);

// Whether `path` is acceptable as the path of a file: not empty, at most 255
// bytes of UTF-8 as a whole, and a last element that is a valid Windows file
// name (no leading or trailing space, no trailing period except "." and "..",
// none of the bytes 0x00-0x1F nor < > : " / \ |). The Windows rule applies on
// every platform, so names stay portable.
LUMFILESYSTEM_EXPORT bool CheckValidFilename(const ioPath& path);

// Rewrites `*path` into a name for a new file that exists neither on disk nor
// in `reservedPaths` (either may be null), with extension `extension` (with or
// without its dot; empty removes the extension). When `pathIsDirectory` is
// set, `*path` is a directory and the file "(1)" inside it is the start.
//
// The wanted name is repaired first: leading spaces are dropped; a name that
// is not valid (CheckValidFilename) is shortened one UTF-8 character at a time
// from the end of its stem, keeping the extension; a stem with nothing usable
// (empty, all extension, dots and spaces only, or only characters the name
// rule forbids) becomes "(1)". A valid name is kept even when the whole path
// exceeds 255 bytes; once a name has been shortened, the whole path must fit.
// Taken names are then numbered "stem (1).ext", "stem (2).ext", ... with one
// counter per call, the number always before the whole extension
// ("clip (1).tar.gz"); where a number does not fit, the stem is shortened, never
// the number. Each candidate is tested once, so the search makes at most one
// existence test per taken name (on disk or reserved), plus two. The name is
// free when tested; nothing is created, so callers list names they handed out
// but did not create yet in `reservedPaths`.
//
// Throws utf8::not_enough_room (from <utf8.h>; a std::exception) when the
// stem runs out before the name is valid, for instance when the parent
// directory alone exceeds the length limit or the extension is not valid in a
// file name, and filesystem_error from the existence tests. `*path` is
// unchanged then.
LUMFILESYSTEM_EXPORT void UpdateFilePathIfExist(const std::set<ioPath>* reservedPaths,
                                                bool pathIsDirectory,
                                                const std::string& extension,
                                                ioPath* path);

// `files` grouped by parent directory (a file without one under the empty
// path). Each list keeps the input order and holds a path once.
LUMFILESYSTEM_EXPORT std::map<ioPath, std::vector<ioPath>> MakeDirectoryToFileListMap(const std::vector<ioPath>& files);

}  // namespace Tarnix::Core
