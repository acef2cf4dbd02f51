#include "Filesystem/win/StagedFile.h"

#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/FileTime.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <cstddef>
#include <cstring>
#include <vector>

namespace Tarnix::Core::win {

bool IsStagingName(const std::wstring& name) noexcept { return name.rfind(kStagingPrefix, 0) == 0; }

StagedFile::~StagedFile() {
  if (!held_) return;
  FILE_DISPOSITION_INFO discard{TRUE};
  ::SetFileInformationByHandle(held_.get(), FileDispositionInfo, &discard, sizeof discard);
}

std::error_code StagedFile::Copy(const ioPath& source, const ioPath& target,
                                 const internal::CopyProgressRoutine* progress) {
  // Short and fixed in length, whatever the target's name.
  std::string random = boost::uuids::to_string(boost::uuids::random_generator()());
  random.resize(16);
  const std::wstring staged =
      (target.parent_path() / ioPath(std::wstring(kStagingPrefix) + ioPath(random).wstring())).wstring();
  BOOL cancel = FALSE;
  if (!::CopyFileExW(source.wstring().c_str(), staged.c_str(), progress != nullptr ? &CopyProgress : nullptr,
                     const_cast<internal::CopyProgressRoutine*>(progress), &cancel, COPY_FILE_FAIL_IF_EXISTS)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_REQUEST_ABORTED) return std::make_error_code(std::errc::operation_canceled);
    return WindowsError(error);
  }
  // From here on the copy is held: no deletion shared, so whoever clears
  // abandoned staging files leaves it alone.
  held_.reset(::CreateFileW(staged.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr));
  if (!held_) {
    const std::error_code error = LastError();
    ::DeleteFileW(staged.c_str());
    return error;
  }
  target_ = target.wstring();
  return {};
}

std::error_code StagedFile::SetTimes(long long seconds) {
  const FILETIME time = ToFileTime(seconds);
  if (!::SetFileTime(held_.get(), nullptr, &time, &time)) return LastError();
  return {};
}

std::error_code StagedFile::Publish(bool replace) {
  // FILE_RENAME_INFO ends in the new name, without a terminating NUL.
  const std::size_t nameBytes = target_.size() * sizeof(wchar_t);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, target_.data(), nameBytes);
  if (!::SetFileInformationByHandle(held_.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
    return LastError();
  }
  held_.reset();
  return {};
}

}  // namespace Tarnix::Core::win
