// Placing files on Windows without replacing. A source on the directory's
// volume is held (open for writing and deletion, sharing only reading: no
// reader can lock it meanwhile), stamped, flushed and renamed through that
// handle, and flushed again so that its new name is on the disk. A source
// that cannot be held so (a reader holds it, it is read-only, or we may not
// write or delete it) or that lies on another volume is copied (staged,
// win/StagedFile.h, which flushes the copy and its name before it returns)
// and only then removed, as a cached file is removed: a read-only source
// goes too, as on Linux; one a reader holds, or that we may not delete,
// stays.
#include "Filesystem/internal/CacheFiles.h"

#include "Filesystem/win/CacheDirectory.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/StagedFile.h"

#include <aclapi.h>

#include <memory>
#include <string>

namespace Tarnix::Core::internal {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Gives the moved file at `path` the access its new folder passes on, in
// place of what it had where it came from (a temporary folder private to one
// user, say): in a cache root shared by several users the others can then
// find and remove it, as they can a copied one. A file whose access this
// user may not change keeps its own.
void InheritAccess(const std::wstring& path) {
  ACL empty{};
  if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return;
  ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, &empty,
                          nullptr);
}

class Source final : public PlacementSource {
 public:
  Source(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp)
      : from_(from), source_(win::Win32Path(from)), target_(win::DirectoryPath(directory) / name),
        volume_(win::DirectoryVolume(directory)), timestamp_(timestamp) {}

  [[nodiscard]] std::error_code Open() {
    // Whether the source can be held for a move: the handle pins it down.
    held_.reset(::CreateFileW(source_.c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (held_) {
      if (!::GetFileInformationByHandle(held_.get(), &info)) return win::LastError();
      before_ = info;
      if (info.dwVolumeSerialNumber != volume_) held_.reset();
    } else {
      const win::SortedFailure failure = win::LastFailure();
      if (failure.kind != win::Failure::InUse && failure.kind != win::Failure::NoAccess) return failure.error;
      // Held by a reader, read-only or not ours to change: it is copied.
      if (!win::FollowLink(from_, &info)) return win::LastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);
    return {};
  }

  bool CanMove() const override { return static_cast<bool>(held_); }

  std::error_code Move() override {
    if (auto error = win::SetBothTimes(held_.get(), timestamp_)) return error;
    // The caller may never have flushed the source: its data goes to the
    // disk before the name the cache serves it under.
    std::error_code error;
    if (!::FlushFileBuffers(held_.get())) error = win::LastError();
    if (!error) error = win::RenameByHandle(held_.get(), target_.wstring(), /*replace=*/false);
    if (error) {
      ::SetFileTime(held_.get(), nullptr, &before_.ftLastAccessTime, &before_.ftLastWriteTime);
      return error;
    }
    const win::UniqueHandle moved(held_.release());
    InheritAccess(win::Win32Path(target_));
    if (!::FlushFileBuffers(moved.get())) return win::LastError();
    return {};
  }

  std::error_code Stage() override {
    held_.reset();  // a move that failed: readers may come again
    if (auto error = staged_.Copy(from_, target_, nullptr)) return error;
    return staged_.SetTimes(timestamp_);
  }

  std::error_code Publish() override { return staged_.Publish(/*replace=*/false); }

  bool RemoveSource() override {
    const win::UniqueHandle file(::CreateFileW(source_.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                               kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr));
    return file && !win::DeleteByHandle(file.get());
  }

 private:
  const ioPath from_;
  const std::wstring source_;
  const ioPath target_;
  const DWORD volume_;
  const long long timestamp_;
  win::UniqueHandle held_;  // the source while it may move
  BY_HANDLE_FILE_INFORMATION before_{};
  win::StagedFile staged_;
};

}  // namespace

std::error_code OpenPlacementSource(const ioPath& from, const CacheDirectory& directory, const ioPath& name,
                                    long long timestamp, Staging /*staging*/,
                                    std::unique_ptr<PlacementSource>* source) {
  // A name Windows would read as another (trailing dots, a stream, a device).
  if (!win::IsPlainName(name.wstring())) return std::make_error_code(std::errc::invalid_argument);
  auto opened = std::make_unique<Source>(from, directory, name, timestamp);
  if (auto error = opened->Open()) return error;
  *source = std::move(opened);
  return {};
}

}  // namespace Tarnix::Core::internal
