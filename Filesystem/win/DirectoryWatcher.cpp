// The Windows watcher: the directory opened for overlapped I/O, one
// ReadDirectoryChangesW request outstanding over the whole tree, and a worker
// thread that waits for either a completed request or the stop event.
//
// Destruction sets the stop event and joins the worker; a request still
// outstanding then is cancelled (CancelIoEx) and waited for, so the buffer
// and the OVERLAPPED are never released while the system may still write
// into them. A watch the system ends (the folder was deleted, the share
// dropped) ends with a WARNING, and its folder is let go at once so that
// nothing keeps the name: no more changes are reported.
#include "Filesystem/internal/PlatformDirectoryWatcher.h"

#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

#include <glog/logging.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace Tarnix::Core {
namespace {

// The change filter and the action mask of each kind of change. A record is
// reported when its Action AND the mask equals the mask: with 0 every record,
// with 5 only FILE_ACTION_RENAMED_NEW_NAME (5) among the actions 1 to 5.
struct KindFilter {
  DWORD notifyFilter;
  DWORD actionMask;
};

const KindFilter& FilterFor(WatchEvent kind) {
  static const std::map<std::int32_t, KindFilter> table = {
      {static_cast<std::int32_t>(WatchEvent::Modified), {FILE_NOTIFY_CHANGE_LAST_WRITE, 0}},
      {static_cast<std::int32_t>(WatchEvent::NameChanged), {FILE_NOTIFY_CHANGE_FILE_NAME, 5}},
  };
  const auto found = table.find(static_cast<std::int32_t>(kind));
  if (found == table.end()) throw std::out_of_range("invalid map<K, T> key");
  return found->second;
}

std::runtime_error SystemFailure(const char* what, DWORD code) {
  return std::runtime_error(std::string(what) + ", system error code = " + std::to_string(code));
}

// Words the buffer has beyond the length of the watched path.
constexpr std::size_t kBufferSlackWords = 276;

class DirectoryWatcher final : public IDirectoryWatcher {
 public:
  // Receives each completed batch on the worker thread: the records and their
  // byte count, 0 when the changes did not fit into the buffer and were lost.
  using BatchHandler = std::function<void(const std::uint8_t* records, DWORD bytes)>;

  DirectoryWatcher(const ioPath& directory, DWORD notifyFilter, std::size_t minimumBufferWords,
                   BatchHandler handler);
  ~DirectoryWatcher() override;

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

 private:
  [[nodiscard]] bool Request();
  void WatchLoop();
  void CancelRequest() noexcept;
  // The watch ended without being stopped: says why and lets the folder go.
  void EndWatch(DWORD error);

  BatchHandler handler_;
  const DWORD notifyFilter_;
  std::unique_ptr<OVERLAPPED> overlapped_;
  std::vector<std::uint32_t> buffer_;  // worker thread only, once it runs
  win::UniqueHandle directoryHandle_;  // worker thread only, once it runs
  win::UniqueHandle notifyEvent_;
  win::UniqueHandle stopEvent_;
  bool requestPending_ = false;  // worker thread only, once it runs; read after the join
  std::thread thread_;
};

DirectoryWatcher::DirectoryWatcher(const ioPath& directory, DWORD notifyFilter, std::size_t minimumBufferWords,
                                   BatchHandler handler)
    : handler_(std::move(handler)), notifyFilter_(notifyFilter) {
  // A drive root, a share or a long path each in the form the system takes.
  const std::wstring path = win::Win32Path(directory);

  directoryHandle_.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                       nullptr));
  if (!directoryHandle_) throw SystemFailure("CreateFileW failed", ::GetLastError());

  notifyEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));  // auto-reset
  if (!notifyEvent_) throw SystemFailure("CreateEventW failed for notify event", ::GetLastError());

  overlapped_ = std::make_unique<OVERLAPPED>();
  overlapped_->hEvent = notifyEvent_.get();

  stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // manual-reset
  if (!stopEvent_) throw SystemFailure("CreateEventW failed for stop event", ::GetLastError());

  buffer_.resize(std::max(path.size() + kBufferSlackWords, minimumBufferWords));
  if (!Request()) throw SystemFailure("ReadDirectoryChangesW failed", ::GetLastError());
  try {
    thread_ = std::thread(&DirectoryWatcher::WatchLoop, this);
  } catch (...) {
    // No destructor runs: let the system give the buffer back first.
    CancelRequest();
    throw;
  }
}

DirectoryWatcher::~DirectoryWatcher() {
  ::SetEvent(stopEvent_.get());
  if (thread_.joinable()) thread_.join();
  CancelRequest();
  // The members release the stop event, the notify event and the directory
  // handle, then the buffer and the OVERLAPPED, then the handler.
}

void DirectoryWatcher::CancelRequest() noexcept {
  if (!requestPending_) return;
  ::CancelIoEx(directoryHandle_.get(), overlapped_.get());
  DWORD bytes = 0;
  ::GetOverlappedResult(directoryHandle_.get(), overlapped_.get(), &bytes, TRUE);
  requestPending_ = false;
}

// Issues the next request over the whole tree. The whole buffer is offered.
bool DirectoryWatcher::Request() {
  requestPending_ = ::ReadDirectoryChangesW(directoryHandle_.get(), buffer_.data(),
                                            static_cast<DWORD>(buffer_.size() * sizeof(buffer_[0])), TRUE,
                                            notifyFilter_, nullptr, overlapped_.get(), nullptr) != FALSE;
  return requestPending_;
}

void DirectoryWatcher::WatchLoop() {
  // The stop event first: a stop wins over a completed request.
  const HANDLE handles[2] = {stopEvent_.get(), notifyEvent_.get()};
  for (;;) {
    const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (waited == WAIT_OBJECT_0) return;
    if (waited == WAIT_FAILED) {
      ::Sleep(1);  // cannot happen with live handles; never spin if it does
      continue;
    }
    DWORD bytes = 0;
    const BOOL completed = ::GetOverlappedResult(directoryHandle_.get(), overlapped_.get(), &bytes, FALSE);
    const DWORD error = completed ? ERROR_SUCCESS : ::GetLastError();
    requestPending_ = false;
    if (!completed) return EndWatch(error);
    handler_(reinterpret_cast<const std::uint8_t*>(buffer_.data()), bytes);
    if (!Request()) return EndWatch(::GetLastError());
  }
}

void DirectoryWatcher::EndWatch(DWORD error) {
  if (error == ERROR_OPERATION_ABORTED) return;  // cancelled: the watcher is going
  LOG(WARNING) << "Watching a folder ended: "
               << std::system_category().message(static_cast<int>(error));
  directoryHandle_.reset();
}

// The records of one batch, in order.
template <typename Visit>
void ForEachRecord(const std::uint8_t* records, DWORD bytes, Visit&& visit) {
  if (bytes == 0) return;
  for (const std::uint8_t* at = records;;) {
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
    visit(*record);
    if (record->NextEntryOffset == 0) return;
    at += record->NextEntryOffset;
  }
}

// The detailed watcher's buffer: it reports every record, so it takes the
// most a request may ask for on a network share.
constexpr std::size_t kChangeBufferWords = 64 * 1024 / sizeof(std::uint32_t);
constexpr DWORD kChangeFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

// Turns the system's records into ChangeRecords: an old-name record and the
// new-name record after it become one Renamed; a directory's own last-write
// change (an entry came or went in it) is no Modified of the directory.
class ChangeReporter {
 public:
  ChangeReporter(const ioPath& root, ChangeCallback callback) : root_(root), callback_(std::move(callback)) {}

  void operator()(const std::uint8_t* records, DWORD bytes) {
    if (bytes == 0) {
      FlushOldName();
      Report({ChangeAction::Overflow, {}, {}});
      return;
    }
    ForEachRecord(records, bytes, [&](const FILE_NOTIFY_INFORMATION& record) {
      const std::wstring name(record.FileName, record.FileNameLength / sizeof(WCHAR));
      switch (record.Action) {
        case FILE_ACTION_RENAMED_OLD_NAME:
          FlushOldName();
          oldName_ = Utf8(name);
          return;
        case FILE_ACTION_RENAMED_NEW_NAME:
          if (oldName_) {
            Report({ChangeAction::Renamed, Utf8(name), *std::exchange(oldName_, std::nullopt)});
          } else {
            Report({ChangeAction::Added, Utf8(name), {}});
          }
          return;
        case FILE_ACTION_ADDED:
          FlushOldName();
          Report({ChangeAction::Added, Utf8(name), {}});
          return;
        case FILE_ACTION_REMOVED:
          FlushOldName();
          Report({ChangeAction::Removed, Utf8(name), {}});
          return;
        case FILE_ACTION_MODIFIED: {
          FlushOldName();
          const DWORD attributes = ::GetFileAttributesW(win::Win32Path(root_ / ioPath(name)).c_str());
          if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            Report({ChangeAction::Modified, Utf8(name), {}});
          }
          return;
        }
        default:
          return;
      }
    });
    // The system puts a rename's two records into one batch: an old name
    // that ends a batch went out of the tree, and is reported now rather
    // than when some later change arrives.
    FlushOldName();
  }

 private:
  static std::string Utf8(const std::wstring& name) { return ioPath(name).utf8string(); }

  // An old name whose new name never came went out of the tree.
  void FlushOldName() {
    if (oldName_) Report({ChangeAction::Removed, *std::exchange(oldName_, std::nullopt), {}});
  }

  // A callback's exception is logged and reporting goes on.
  void Report(const ChangeRecord& record) {
    try {
      callback_(record);
    } catch (const std::exception& e) {
      LOG(ERROR) << e.what();
    }
  }

  const ioPath root_;
  ChangeCallback callback_;
  std::optional<std::string> oldName_;  // worker thread only
};

}  // namespace

std::unique_ptr<IDirectoryWatcher> CreatePlatformChangeWatcher(const ioPath& canonicalDirectory,
                                                               ChangeCallback callback) {
  return std::make_unique<DirectoryWatcher>(canonicalDirectory, kChangeFilter, kChangeBufferWords,
                                            ChangeReporter(canonicalDirectory, std::move(callback)));
}

std::unique_ptr<IDirectoryWatcher> CreatePlatformDirectoryWatcher(const ioPath& directory, WatchEvent kind,
                                                                  std::function<void()> callback) {
  const KindFilter filter = FilterFor(kind);
  auto report = [callback = std::move(callback), mask = filter.actionMask](const std::uint8_t* records, DWORD bytes) {
    // An exception ends the batch: its remaining records are not reported.
    try {
      ForEachRecord(records, bytes, [&](const FILE_NOTIFY_INFORMATION& record) {
        if ((record.Action & mask) == mask) callback();
      });
    } catch (const std::exception& e) {
      LOG(ERROR) << e.what();
    }
  };
  return std::make_unique<DirectoryWatcher>(directory, filter.notifyFilter, 0, std::move(report));
}

}  // namespace Tarnix::Core
