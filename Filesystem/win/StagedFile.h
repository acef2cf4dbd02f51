// Copies written out of sight on Windows. CopyFileExW copies into a staging
// file beside the target, named by the one staging rule
// (internal/StagingName.h): the name derived from the target's when it is
// free or left by a killed process (nobody holds it: it opens without
// sharing), a name of its own otherwise. The copy is held from before its
// first byte until it is published: the progress routine's first call takes
// a handle of its own on the file CopyFileExW writes (where the system never
// calls the routine, the staged file is opened as soon as the copy returns).
// The held handle shares no deletion, so whoever clears abandoned staging
// files leaves the copy alone, and nobody can take it over.
//
// Publishing flushes the copy's data to the disk (FlushFileBuffers), renames
// it through the held handle, and flushes again so that the new name is on
// the disk too: once Publish returns, a power cut leaves the whole copy at
// the target, and a source may be deleted.
#pragma once

#include "Filesystem/internal/CopyFileWithProgress.h"
#include "Filesystem/ioPath.h"
#include "Filesystem/win/Handle.h"

#include <cstdint>
#include <string>
#include <system_error>

namespace Tarnix::Core::win {

// Whether `name` (one directory entry) is a staging name.
bool IsStagingName(const std::wstring& name) noexcept;

// What the progress routine of a staged copy receives: the caller's routine
// (may be null) and the handle the routine's first call takes on the file
// being written.
struct CopyContext {
  const internal::CopyProgressRoutine* progress = nullptr;
  UniqueHandle destination;
  std::uint64_t mainStreamBytes = 0;  // the last total of the main stream
};

class StagedFile {
 public:
  StagedFile() = default;
  // Deletes the staged copy when it was not published.
  ~StagedFile();

  // Copies `source` to a staging name beside `target`, reporting to
  // `progress` when given. Errors: CopyFileExW's (errc::operation_canceled
  // when the routine cancelled; nothing is left then).
  [[nodiscard]] std::error_code Copy(const ioPath& source, const ioPath& target,
                                     const internal::CopyProgressRoutine* progress);

  // Sets both times of the staged copy to whole `seconds` since 1970.
  [[nodiscard]] std::error_code SetTimes(long long seconds);

  // Puts the copy's data on the disk (Publish does it when it was not done).
  [[nodiscard]] std::error_code FlushData();

  // Gives the copy the target's name, durably (see above): without
  // `replace`, errc::file_exists when the name is taken (the copy stays
  // staged and may be published again); with it, a file there is replaced
  // in the same step, also one that others hold open sharing deletion where
  // the system renames with POSIX semantics.
  [[nodiscard]] std::error_code Publish(bool replace);

  // The staging file's path while the copy is staged (for tests).
  const std::wstring& stagedPath() const noexcept { return staged_; }

 private:
  [[nodiscard]] std::error_code CopyTo(const std::wstring& source, const std::wstring& staged,
                                       const internal::CopyProgressRoutine* progress);
  [[nodiscard]] std::error_code Hold();

  UniqueHandle held_;  // the staged copy, until it is published
  std::wstring staged_;
  std::wstring target_;
  DWORD attributes_ = 0;  // the copy's own, given back before it is published
  bool flushed_ = false;  // its data is on the disk, its attributes its own
};

// Stages a copy of `source` for `destination` as CopyFileWithProgress does
// (the same checks and errors), without publishing it.
[[nodiscard]] std::error_code StageCopy(const ioPath& source, const ioPath& destination,
                                        const internal::CopyProgressRoutine& progress, StagedFile* staged);

}  // namespace Tarnix::Core::win
