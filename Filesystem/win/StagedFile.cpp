#include "Filesystem/win/StagedFile.h"

#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Handle.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace Tarnix::Core::win {

bool IsStagingName(const std::wstring& name) noexcept { return name.rfind(kStagingPrefix, 0) == 0; }

StagedFile::~StagedFile() {
  if (path_.empty()) return;
  ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy must go too
  ::DeleteFileW(path_.c_str());
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
  path_ = staged;
  target_ = target.wstring();
  return {};
}

std::error_code StagedFile::Publish(bool replace) {
  if (!::MoveFileExW(path_.c_str(), target_.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return LastError();
  path_.clear();
  return {};
}

}  // namespace Tarnix::Core::win
