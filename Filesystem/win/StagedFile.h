// Copies written out of sight on Windows: CopyFileExW into a hidden staging
// name in the target's directory, which the copy holds exclusively while it
// writes, then a move gives it its name in one step. Staging names start with
// kStagingPrefix (the same as on Linux), so that cache listings pass over
// them and a put clears the ones a killed process left.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/ioPath.h"

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
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Copies `source` to a new staging name beside `target`, reporting to
  // `progress` when given. Errors: CopyFileExW's (errc::operation_canceled
  // when the routine cancelled; nothing is left then).
  [[nodiscard]] std::error_code Copy(const ioPath& source, const ioPath& target,
                                     const internal::CopyProgressRoutine* progress);

  const std::wstring& path() const noexcept { return path_; }

  // Gives the copy the target's name: without `replace`, errc::file_exists
  // when the name is taken (the copy stays staged and may be published
  // again); with it, a file there is replaced in the same step.
  [[nodiscard]] std::error_code Publish(bool replace);

 private:
  std::wstring path_;    // empty while nothing is staged
  std::wstring target_;
};

}  // namespace Tarnix::Core::win
