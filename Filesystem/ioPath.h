// ioPath: the one path type of LumFilesystem.
//
// A thin value wrapper over boost::filesystem::path with version-3 path
// semantics. It stores exactly what the caller passed; nothing is normalised
// on construction. Narrow text in and out is UTF-8.
//
// Linux: the native string is the byte string, so the std::string and
// const char* forms store and return the bytes unchanged (UTF-8 by
// convention), while the std::wstring forms convert through LumString.
// Separators and roots follow POSIX rules: only '/' separates, and
// make_preferred() changes nothing.
//
// Members that touch the disk follow one of two disciplines, fixed per member:
//  - reporting members (file_size, last_write_time, create_directory,
//    create_directories, rename, copy_file) never throw; failure is 0/false;
//  - all other disk members let boost::filesystem::filesystem_error out. The
//    existence and type tests return false for a path that does not exist
//    and throw only when the status query itself fails.
// A path with an embedded NUL byte, which the operating system would see cut
// short, is refused by every disk member as an invalid argument (thrown, or
// 0/false) instead of acting on the shorter path.
//
// Thread safety: a plain value. Distinct objects may be used on different
// threads; concurrent reads of one object are fine.
#pragma once

#include "Filesystem/Export.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/path.hpp>

#include <iosfwd>
#include <string>

namespace Tarnix {

class LUMFILESYSTEM_EXPORT ioPath {
 public:
  using string_type = boost::filesystem::path::string_type;

  ioPath() noexcept;
  ioPath(const ioPath& other);
  ioPath(ioPath&& other) noexcept;
  ioPath(const std::string& utf8);
  ioPath(const char* utf8);
  ioPath(const std::wstring& wide);
  ioPath(const boost::filesystem::path& p);
  ~ioPath();

  ioPath& operator=(const ioPath& other);
  ioPath& operator=(ioPath&& other) noexcept;
  ioPath& operator=(const std::string& utf8);
  ioPath& operator=(const std::wstring& wide);
  ioPath& operator=(const char* utf8);

  // Conversions.
  std::string utf8string() const;
  std::wstring wstring() const;
  // The string the operating system's file functions take (bytes on Linux).
  string_type platformString() const;

  // Joining appends rhs as path elements; += appends characters only.
  ioPath operator/(const ioPath& rhs) const;
  ioPath& operator/=(const ioPath& rhs);
  ioPath& operator+=(const ioPath& rhs);
  // Element-wise, case-sensitive ordering: "/a/z" < "/a-b".
  bool operator<(const ioPath& rhs) const;

  // Decomposition; each result is a new path built from a piece of this one.
  ioPath root_name() const;
  ioPath root_directory() const;
  ioPath root_path() const;
  ioPath relative_path() const;
  ioPath parent_path() const;
  ioPath filename() const;
  ioPath stem() const;
  ioPath extension() const;
  static ioPath extension(const ioPath& p);

  // Queries.
  bool empty() const noexcept;
  bool has_filename() const noexcept;  // true for any non-empty path
  bool has_root_name() const;
  bool has_root_directory() const;
  bool has_root_path() const;
  bool has_relative_path() const;
  bool has_parent_path() const;
  bool has_stem() const;
  bool has_extension() const;
  bool is_absolute() const;
  bool is_relative() const;

  // Edits.
  void clear() noexcept;
  void swap(ioPath& other) noexcept;
  ioPath& make_preferred();
  // Removes the extension, then appends ext (adding the dot when missing).
  ioPath& replace_extension(const ioPath& ext);
  ioPath& remove_filename();
  static ioPath change_extension(const ioPath& p, const ioPath& ext);
  // Whether name is a valid single file name on this platform.
  static bool native(const std::string& name);

  // Existence and type tests (throwing; a missing path is simply false).
  bool exists() const;
  static bool exists(const ioPath& p);
  bool is_directory() const;  // follows symbolic links
  static bool is_directory(const ioPath& p);
  bool is_regular_file() const;
  static bool is_regular_file(const ioPath& p);
  bool is_other() const;
  static bool is_other(const ioPath& p);
  bool is_symlink() const;  // the entry itself, not its target

  // Reporting: 0 on any error.
  unsigned long long file_size() const;
  static unsigned long long file_size(const ioPath& p);
  // Seconds since 1970-01-01 UTC; 0 on any error.
  long long last_write_time() const;
  static long long last_write_time(const ioPath& p);

  // Reporting: true when the directory exists afterwards (created or already there).
  static bool create_directory(const ioPath& p);
  static bool create_directories(const ioPath& p);

  // Throwing: true when an entry was removed, false when nothing existed.
  // A non-empty directory throws.
  bool remove() const;
  static bool remove(const ioPath& p);
  // Throwing: the number of entries removed, 0 when nothing existed.
  unsigned long long remove_all() const;
  static unsigned long long remove_all(const ioPath& p);

  // Reporting. Between file systems the entry (a whole tree for a directory)
  // is copied and the source removed, each file as copy_file copies it; a
  // failed copy leaves the files it completed, a failed removal of the source
  // removes the copy again. The source is removed only once the copy's data
  // and names are on the device, so a power cut at any moment leaves the
  // data whole at the source, at the destination, or at both.
  bool rename(const ioPath& to) const;
  static bool rename(const ioPath& from, const ioPath& to);
  // Reporting; replaces an existing target file (or a symbolic link there,
  // which is not followed) and gives the copy the source's permission bits
  // and last-write time. The copy is made out of sight and takes the target's
  // name only when complete and on the device: the target is the old file or
  // the whole copy, also after a full disk, a failure, a crash or a power
  // cut, and a copy that returned true survives a later power cut (one
  // flush of the data and one of the directory; Linux).
  bool copy_file(const ioPath& to) const;
  static bool copy_file(const ioPath& from, const ioPath& to);

  // Throwing.
  ioPath absolute_path() const;
  static ioPath absolute(const ioPath& p);
  ioPath canonical_path() const;
  ioPath relative(const ioPath& base) const;
  static ioPath current_path();
  static ioPath temp_directory_path();
  boost::filesystem::directory_iterator iterator() const;
  boost::filesystem::recursive_directory_iterator recursive_iterator() const;

 private:
  explicit ioPath(boost::filesystem::path&& p, int /*adopt*/) noexcept;

  friend bool operator==(const ioPath& lhs, const ioPath& rhs);
  friend std::ostream& operator<<(std::ostream& os, const ioPath& p);

  boost::filesystem::path path_;
};

LUMFILESYSTEM_EXPORT ioPath operator+(const ioPath& lhs, const ioPath& rhs);
LUMFILESYSTEM_EXPORT bool operator==(const ioPath& lhs, const ioPath& rhs);
LUMFILESYSTEM_EXPORT bool operator!=(const ioPath& lhs, const ioPath& rhs);
// Writes the path quoted with '"', escaping '"' and '&' with '&'; the stream's
// width and fill apply to the quoted whole.
LUMFILESYSTEM_EXPORT std::ostream& operator<<(std::ostream& os, const ioPath& p);

}  // namespace Tarnix
