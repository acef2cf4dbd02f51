#include "Filesystem/win/StagedFile.h"

#include "Filesystem/internal/StagingName.h"
#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Path.h"

#include <string>

namespace Tarnix::Core::win {

namespace {

// Staging names are ASCII.
std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Whether the staging file at `path` was left by a killed process: nobody
// holds it (it opens without sharing). Then it is deleted, and the name is
// free again once this returns.
bool TakeOver(const std::wstring& path) {
  const UniqueHandle left(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return left && !DeleteByHandle(left.get());
}

[[nodiscard]] std::error_code SetAttributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  if (!::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) return LastError();
  return {};
}

}  // namespace

bool IsStagingName(const std::wstring& name) noexcept {
  const std::wstring prefix = Widen(internal::kStagingPrefix);
  return name.rfind(prefix, 0) == 0;
}

StagedFile::~StagedFile() {
  if (held_) (void)DeleteByHandle(held_.get());
}

std::error_code StagedFile::Copy(const ioPath& source, const ioPath& target,
                                 const internal::CopyProgressRoutine* progress) {
  target_ = Win32Path(target);
  const std::size_t slash = target_.find_last_of(L'\\');
  const std::wstring directory = target_.substr(0, slash + 1);
  const std::string name = ioPath(target_.substr(slash + 1)).utf8string();
  const std::wstring from = Win32Path(source);

  const std::wstring derived = directory + Widen(internal::DerivedStagingName(name));
  std::error_code error = CopyTo(from, derived, progress);
  if (error == std::errc::file_exists && TakeOver(derived)) error = CopyTo(from, derived, progress);
  // Held by a live copy to the same target: a name of its own (a clash of
  // random names is settled by trying again).
  for (int attempt = 0; error == std::errc::file_exists && attempt < 3; ++attempt) {
    error = CopyTo(from, directory + Widen(internal::UniqueStagingName(name)), progress);
  }
  return error;
}

std::error_code StagedFile::CopyTo(const std::wstring& source, const std::wstring& staged,
                                   const internal::CopyProgressRoutine* progress) {
  CopyContext context;
  context.progress = progress;
  BOOL cancel = FALSE;
  if (!::CopyFileExW(source.c_str(), staged.c_str(), &CopyProgress, &context, &cancel, COPY_FILE_FAIL_IF_EXISTS)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_REQUEST_ABORTED) return std::make_error_code(std::errc::operation_canceled);
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return std::make_error_code(std::errc::file_exists);
    return WindowsError(error);
  }
  staged_ = staged;
  held_ = std::move(context.destination);
  return Hold();
}

std::error_code StagedFile::Hold() {
  if (!held_) {
    // The system never called the routine: hold the copy now. A read-only
    // copy (CopyFileExW gives it the source's attributes) opens for writing
    // once the attribute is off.
    const DWORD access = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;
    held_.reset(::CreateFileW(staged_.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held_) {
      const SortedFailure failure = LastFailure();
      const DWORD attributes = ::GetFileAttributesW(staged_.c_str());
      if (failure.kind == Failure::NoAccess && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
          ::SetFileAttributesW(staged_.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        held_.reset(::CreateFileW(staged_.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      }
      if (!held_) {
        ::SetFileAttributesW(staged_.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(staged_.c_str());
        return failure.error;
      }
    }
  }
  // (The routine's handle has the access CopyFileExW chose: reading
  // attributes may not be part of it.)
  BY_HANDLE_FILE_INFORMATION info{};
  attributes_ = ::GetFileInformationByHandle(held_.get(), &info) ? info.dwFileAttributes
                                                                  : ::GetFileAttributesW(staged_.c_str());
  if (attributes_ == INVALID_FILE_ATTRIBUTES) return LastError();
  // Hidden while staged, and writable so that a failure can delete it.
  return SetAttributes(held_.get(), (attributes_ & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_HIDDEN);
}

std::error_code StagedFile::SetTimes(long long seconds) { return SetBothTimes(held_.get(), seconds); }

std::error_code StagedFile::FlushData() {
  if (flushed_) return {};
  if (auto error = SetAttributes(held_.get(), attributes_)) return error;
  if (!::FlushFileBuffers(held_.get())) return LastError();
  flushed_ = true;
  return {};
}

std::error_code StagedFile::Publish(bool replace) {
  // The data on the disk before the name that shows it.
  if (auto error = FlushData()) return error;
  if (auto error = RenameByHandle(held_.get(), target_, replace)) {
    flushed_ = false;
    (void)SetAttributes(held_.get(), (attributes_ & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_HIDDEN);
    return error;
  }
  // The published copy is no longer ours to delete. Flushing it again puts
  // its new name on the disk (the file system's log up to the rename).
  const UniqueHandle published(held_.release());
  if (!::FlushFileBuffers(published.get())) return LastError();
  return {};
}

}  // namespace Tarnix::Core::win
