// Placing files on Windows without replacing: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING never overwrites (ERROR_ALREADY_EXISTS). A source
// that cannot be opened for deletion is held by a reader (readers share no
// deletion): it is copied and stays, as a removal would leave it. Copies are
// staged (win/StagedFile.h).
#include "Filesystem/internal/CacheFiles.h"

#include "Filesystem/win/CacheDirectory.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/StagedFile.h"

#include <memory>
#include <string>

namespace Tarnix::Core::internal {

namespace {

class Source final : public PlacementSource {
 public:
  Source(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp)
      : from_(from), source_(from.wstring()), target_(win::DirectoryPath(directory) / name),
        volume_(win::DirectoryVolume(directory)), timestamp_(timestamp) {}

  [[nodiscard]] std::error_code Open() {
    if (!::GetFileAttributesExW(source_.c_str(), GetFileExInfoStandard, &before_)) return win::LastError();
    if ((before_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::make_error_code(std::errc::invalid_argument);
    }
    // Whether a reader holds the source: then it cannot be opened for deletion.
    const win::UniqueHandle probe(::CreateFileW(source_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (probe) {
      if (!::GetFileInformationByHandle(probe.get(), &info)) return win::LastError();
      canMove_ = info.dwVolumeSerialNumber == volume_;
    } else if (::GetLastError() != ERROR_SHARING_VIOLATION) {
      return win::LastError();
    }
    return {};
  }

  bool CanMove() const override { return canMove_; }

  std::error_code Move() override {
    if (auto error = win::SetBothTimes(source_, timestamp_)) return error;
    if (::MoveFileExW(source_.c_str(), target_.wstring().c_str(), 0)) return {};
    const std::error_code error = win::LastError();
    win::RestoreTimes(source_, before_.ftLastAccessTime, before_.ftLastWriteTime);
    return error;
  }

  std::error_code Stage() override {
    if (auto error = staged_.Copy(from_, target_, nullptr)) return error;
    return staged_.SetTimes(timestamp_);
  }

  std::error_code Publish() override { return staged_.Publish(/*replace=*/false); }

  // A read-locked source cannot be deleted.
  bool RemoveSource() override { return ::DeleteFileW(source_.c_str()) != FALSE; }

 private:
  const ioPath from_;
  const std::wstring source_;
  const ioPath target_;
  const DWORD volume_;
  const long long timestamp_;
  WIN32_FILE_ATTRIBUTE_DATA before_{};
  bool canMove_ = false;
  win::StagedFile staged_;
};

}  // namespace

std::error_code OpenPlacementSource(const ioPath& from, const CacheDirectory& directory, const ioPath& name,
                                    long long timestamp, Staging /*staging*/,
                                    std::unique_ptr<PlacementSource>* source) {
  auto opened = std::make_unique<Source>(from, directory, name, timestamp);
  if (auto error = opened->Open()) return error;
  *source = std::move(opened);
  return {};
}

}  // namespace Tarnix::Core::internal
