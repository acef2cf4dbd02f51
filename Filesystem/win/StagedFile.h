// Copies written out of sight on Windows: CopyFileExW into a hidden staging
// name in the target's directory (the copy holds the file exclusively while
// it writes it), then a handle that shares no deletion holds the finished
// copy until a rename through that very handle gives it its name. Staging
// names start with kStagingPrefix (the same as on Linux): cache listings pass
// over them, and a put clears the ones nobody holds, which a killed process
// left.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/ioPath.h"
#include "Filesystem/win/Handle.h"

#include <string>
#include <system_error>

namespace Tarnix::Core::win {

inline constexpr wchar_t kStagingPrefix[] = L".lumfs-stage-";

// Whether `name` (one directory entry) is a staging name.
bool IsStagingName(const std::wstring& name) noexcept;

class StagedFile {
 public:
  StagedFile() = default;
  // Deletes the staged copy when it was not published.
  ~StagedFile();

  // Copies `source` to a new staging name beside `target`, reporting to
  // `progress` when given. Errors: CopyFileExW's (errc::operation_canceled
  // when the routine cancelled; nothing is left then).
  [[nodiscard]] std::error_code Copy(const ioPath& source, const ioPath& target,
                                     const internal::CopyProgressRoutine* progress);

  // Sets both times of the staged copy to whole `seconds` since 1970.
  [[nodiscard]] std::error_code SetTimes(long long seconds);

  // Gives the copy the target's name: without `replace`, errc::file_exists
  // when the name is taken (the copy stays staged and may be published
  // again); with it, a file there is replaced in the same step.
  [[nodiscard]] std::error_code Publish(bool replace);

 private:
  UniqueHandle held_;  // the staged copy, until it is published
  std::wstring target_;
};

}  // namespace Tarnix::Core::win
