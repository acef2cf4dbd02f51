#include "Filesystem/ioPath.h"

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/internal/TreeCopy.h"
#include "LumString/LumString.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/errc.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <ostream>
#include <utility>

static_assert(BOOST_FILESYSTEM_VERSION == 3, "ioPath relies on version-3 path semantics");

namespace fs = boost::filesystem;

namespace Tarnix {

namespace {

// Text conversions between the caller's forms (UTF-8, wide) and the native
// string: the identity where the forms agree, LumString where they differ.
[[maybe_unused]] std::string ConvertTo(const std::string& text, const std::string*) { return text; }
[[maybe_unused]] std::wstring ConvertTo(const std::string& utf8, const std::wstring*) { return Core::WstringFromUtf8(utf8); }
[[maybe_unused]] std::string ConvertTo(const std::wstring& wide, const std::string*) { return Core::Utf8FromWstring(wide); }
[[maybe_unused]] std::wstring ConvertTo(const std::wstring& text, const std::wstring*) { return text; }

template <typename To, typename From>
To Convert(const From& text) {
  return ConvertTo(text, static_cast<const To*>(nullptr));
}

// Whether the operating system would get another path: an embedded NUL ends
// the name it sees early. The disk members refuse such a path as an invalid
// argument rather than act on that other path (remove_all("/data\0/x") must
// not remove /data).
[[nodiscard]] bool Truncated(const fs::path& p) { return p.native().find(fs::path::value_type()) != fs::path::string_type::npos; }

void RequireWhole(const char* operation, const fs::path& p) {
  if (Truncated(p)) {
    throw fs::filesystem_error(operation, p, boost::system::errc::make_error_code(boost::system::errc::invalid_argument));
  }
}

fs::file_status Status(const fs::path& p) {
  RequireWhole("boost::filesystem::status", p);
  return fs::status(p);
}

Core::internal::CopyProgressAction KeepGoing(std::uint64_t) { return Core::internal::CopyProgressAction::Continue; }

// Copies `from` to `to` on another file system, durably: a regular file as
// copy_file copies it (complete or not at all), a directory with the tree
// copier (every entry, or false), anything else as the file-system library
// copies it. Links are followed.
bool CopyAcross(const fs::path& from, const fs::path& to) {
  boost::system::error_code ec;
  const fs::file_status status = fs::status(from, ec);
  if (ec) return false;
  if (fs::is_regular_file(status)) return !Core::internal::CopyFileWithProgress(ioPath(from), ioPath(to), KeepGoing);
  if (!fs::is_directory(status)) {
    fs::copy(from, to, fs::copy_options::overwrite_existing, ec);
    return !ec;
  }
  try {
    using Core::internal::TreeCopyRule;
    return Core::internal::MakeTargetDirectory(ioPath(from), ioPath(to), TreeCopyRule::EveryEntry) &&
           Core::internal::CopyTree(ioPath(from), ioPath(to), TreeCopyRule::EveryEntry);
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

}  // namespace

ioPath::ioPath() noexcept = default;
ioPath::ioPath(const ioPath& other) = default;
ioPath::ioPath(ioPath&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
ioPath::ioPath(const std::string& utf8) : path_(Convert<string_type>(utf8)) {}
ioPath::ioPath(const char* utf8) : ioPath(std::string(utf8)) {}
ioPath::ioPath(const std::wstring& wide) : path_(Convert<string_type>(wide)) {}
ioPath::ioPath(const fs::path& p) : path_(p) {}
ioPath::ioPath(fs::path&& p, int) noexcept : path_(std::move(p)) {}
ioPath::~ioPath() = default;

ioPath& ioPath::operator=(const ioPath& other) {
  if (this != &other) path_ = other.path_;
  return *this;
}

ioPath& ioPath::operator=(ioPath&& other) noexcept {
  if (this != &other) {
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

ioPath& ioPath::operator=(const std::string& utf8) {
  // Convert first so that a throwing conversion leaves *this unchanged.
  string_type converted = Convert<string_type>(utf8);
  path_ = std::move(converted);
  return *this;
}

ioPath& ioPath::operator=(const std::wstring& wide) {
  ioPath converted(wide);
  swap(converted);
  return *this;
}

ioPath& ioPath::operator=(const char* utf8) { return *this = std::string(utf8); }

std::string ioPath::utf8string() const { return Convert<std::string>(path_.native()); }

std::wstring ioPath::wstring() const { return Convert<std::wstring>(path_.native()); }

ioPath::string_type ioPath::platformString() const { return path_.native(); }

ioPath ioPath::operator/(const ioPath& rhs) const {
  ioPath result(*this);
  result /= rhs;
  return result;
}

ioPath& ioPath::operator/=(const ioPath& rhs) {
  path_ /= rhs.path_;
  return *this;
}

ioPath& ioPath::operator+=(const ioPath& rhs) {
  path_ += rhs.path_;
  return *this;
}

bool ioPath::operator<(const ioPath& rhs) const { return path_.compare(rhs.path_) < 0; }

ioPath ioPath::root_name() const { return ioPath(path_.root_name(), 0); }
ioPath ioPath::root_directory() const { return ioPath(path_.root_directory(), 0); }
ioPath ioPath::root_path() const { return ioPath(path_.root_path(), 0); }
ioPath ioPath::relative_path() const { return ioPath(path_.relative_path(), 0); }
ioPath ioPath::parent_path() const { return ioPath(path_.parent_path(), 0); }
ioPath ioPath::filename() const { return ioPath(path_.filename(), 0); }
ioPath ioPath::stem() const { return ioPath(path_.stem(), 0); }
// The characters of filename() after stem(). (Boost builds its extension from
// a C string, which would end it at an embedded NUL byte.)
ioPath ioPath::extension() const {
  return ioPath(fs::path(path_.filename().native().substr(path_.stem().native().size())), 0);
}
ioPath ioPath::extension(const ioPath& p) { return p.extension(); }

bool ioPath::empty() const noexcept { return path_.empty(); }
bool ioPath::has_filename() const noexcept { return !path_.empty(); }
bool ioPath::has_root_name() const { return path_.has_root_name(); }
bool ioPath::has_root_directory() const { return path_.has_root_directory(); }
bool ioPath::has_root_path() const { return path_.has_root_path(); }
bool ioPath::has_relative_path() const { return path_.has_relative_path(); }
bool ioPath::has_parent_path() const { return path_.has_parent_path(); }
bool ioPath::has_stem() const { return path_.has_stem(); }
bool ioPath::has_extension() const { return path_.has_extension(); }
bool ioPath::is_absolute() const { return path_.is_absolute(); }
bool ioPath::is_relative() const { return !path_.is_absolute(); }

void ioPath::clear() noexcept { path_.clear(); }
void ioPath::swap(ioPath& other) noexcept { path_.swap(other.path_); }

ioPath& ioPath::make_preferred() {
  path_.make_preferred();
  return *this;
}

ioPath& ioPath::replace_extension(const ioPath& ext) {
  path_.replace_extension(ext.path_);
  return *this;
}

ioPath& ioPath::remove_filename() {
  path_.remove_filename();
  return *this;
}

ioPath ioPath::change_extension(const ioPath& p, const ioPath& ext) {
  ioPath result(p);
  result.replace_extension(ext);
  return result;
}

bool ioPath::native(const std::string& name) { return fs::native(name); }

bool ioPath::exists() const { return fs::exists(Status(path_)); }
bool ioPath::exists(const ioPath& p) { return p.exists(); }
bool ioPath::is_directory() const { return fs::is_directory(Status(path_)); }
bool ioPath::is_directory(const ioPath& p) { return p.is_directory(); }
bool ioPath::is_regular_file() const { return fs::is_regular_file(Status(path_)); }
bool ioPath::is_regular_file(const ioPath& p) { return p.is_regular_file(); }
bool ioPath::is_other() const { return fs::is_other(Status(path_)); }
bool ioPath::is_other(const ioPath& p) { return p.is_other(); }
bool ioPath::is_symlink() const {
  RequireWhole("boost::filesystem::symlink_status", path_);
  return fs::is_symlink(fs::symlink_status(path_));
}

unsigned long long ioPath::file_size() const {
  if (Truncated(path_)) return 0;
  boost::system::error_code ec;
  const auto size = fs::file_size(path_, ec);
  return ec ? 0 : size;
}
unsigned long long ioPath::file_size(const ioPath& p) { return p.file_size(); }

long long ioPath::last_write_time() const {
  if (Truncated(path_)) return 0;
  boost::system::error_code ec;
  const std::time_t time = fs::last_write_time(path_, ec);
  return ec ? 0 : static_cast<long long>(time);
}
long long ioPath::last_write_time(const ioPath& p) { return p.last_write_time(); }

bool ioPath::create_directory(const ioPath& p) {
  if (Truncated(p.path_)) return false;
  boost::system::error_code ec;
  fs::create_directory(p.path_, ec);
  return !ec;
}

bool ioPath::create_directories(const ioPath& p) {
  if (Truncated(p.path_)) return false;
  boost::system::error_code ec;
  fs::create_directories(p.path_, ec);
  return !ec;
}

bool ioPath::remove() const {
  RequireWhole("boost::filesystem::remove", path_);
  return fs::remove(path_);
}
bool ioPath::remove(const ioPath& p) { return p.remove(); }
unsigned long long ioPath::remove_all() const {
  RequireWhole("boost::filesystem::remove_all", path_);
  return fs::remove_all(path_);
}
unsigned long long ioPath::remove_all(const ioPath& p) { return p.remove_all(); }

bool ioPath::rename(const ioPath& to) const { return rename(*this, to); }

bool ioPath::rename(const ioPath& from, const ioPath& to) {
  if (Truncated(from.path_) || Truncated(to.path_)) return false;
  boost::system::error_code ec;
  fs::rename(from.path_, to.path_, ec);
  if (ec != boost::system::errc::cross_device_link) return !ec;

  // Different file systems: copy the entry (a whole tree for a directory),
  // then remove the source, only once the copy is durable, so that a power
  // cut leaves the data at one place or both. A copy that cannot remove its
  // source is undone.
  if (!CopyAcross(from.path_, to.path_)) return false;
  fs::remove_all(from.path_, ec);
  if (ec) {
    boost::system::error_code ignored;
    fs::remove_all(to.path_, ignored);
    return false;
  }
  return true;
}

bool ioPath::copy_file(const ioPath& to) const { return copy_file(*this, to); }

bool ioPath::copy_file(const ioPath& from, const ioPath& to) {
  if (Truncated(from.path_) || Truncated(to.path_)) return false;
  return !Core::internal::CopyFileWithProgress(from, to, KeepGoing);
}

ioPath ioPath::absolute_path() const { return ioPath(fs::absolute(path_, fs::current_path()), 0); }
ioPath ioPath::absolute(const ioPath& p) { return p.absolute_path(); }
ioPath ioPath::canonical_path() const {
  RequireWhole("boost::filesystem::canonical", path_);
  return ioPath(fs::canonical(path_, fs::current_path()), 0);
}
ioPath ioPath::relative(const ioPath& base) const {
  RequireWhole("boost::filesystem::relative", path_);
  RequireWhole("boost::filesystem::relative", base.path_);
  return ioPath(fs::relative(path_, base.path_), 0);
}
ioPath ioPath::current_path() { return ioPath(fs::current_path(), 0); }
ioPath ioPath::temp_directory_path() { return ioPath(fs::temp_directory_path(), 0); }

fs::directory_iterator ioPath::iterator() const {
  RequireWhole("boost::filesystem::directory_iterator", path_);
  return fs::directory_iterator(path_);
}

fs::recursive_directory_iterator ioPath::recursive_iterator() const {
  RequireWhole("boost::filesystem::recursive_directory_iterator", path_);
  return fs::recursive_directory_iterator(path_);
}

ioPath operator+(const ioPath& lhs, const ioPath& rhs) {
  ioPath result(lhs);
  result += rhs;
  return result;
}

bool operator==(const ioPath& lhs, const ioPath& rhs) { return lhs.path_.compare(rhs.path_) == 0; }
bool operator!=(const ioPath& lhs, const ioPath& rhs) { return !(lhs == rhs); }

std::ostream& operator<<(std::ostream& os, const ioPath& p) {
  return os << p.path_;
}

}  // namespace Tarnix
