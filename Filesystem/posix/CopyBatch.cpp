// Linux batches of copies: unnamed staged files, one syncfs per file system
// for their data, renames, one more syncfs for the names.
#include "Filesystem/internal/CopyBatch.h"

#include "Filesystem/posix/CopyData.h"
#include "Filesystem/posix/StagedFile.h"
#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Tarnix::Core::internal {

std::size_t CopyBatchFiles() {
  static const std::size_t files = [] {
    struct rlimit limit {};
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    return static_cast<std::size_t>(std::clamp<rlim_t>(soft / 4, 16, 4096));
  }();
  return files;
}

struct CopyBatch::State {
  std::map<std::string, posix::UniqueFd> directories;  // by the destination's parent path
  std::vector<std::unique_ptr<posix::StagedFile>> staged;
  std::uint64_t bytes = 0;  // staged so far

  // One descriptor per file system among the directories.
  std::vector<int> FileSystems() const {
    std::set<dev_t> seen;
    std::vector<int> fds;
    for (const auto& [path, fd] : directories) {
      struct stat st {};
      if (::fstat(fd.get(), &st) == 0 && seen.insert(st.st_dev).second) fds.push_back(fd.get());
    }
    return fds;
  }

  [[nodiscard]] std::error_code SyncFileSystems() const {
    for (const int fd : FileSystems()) {
      if (::syncfs(fd) != 0) return posix::LastError();
    }
    return {};
  }
};

CopyBatch::CopyBatch() : state_(std::make_unique<State>()) {}

// The staged files go before the directories they were made in.
CopyBatch::~CopyBatch() { state_->staged.clear(); }

bool CopyBatch::Full() const {
  return state_->staged.size() >= CopyBatchFiles() || state_->bytes >= kCopyBatchBytes;
}

std::error_code CopyBatch::Add(const ioPath& source, const ioPath& destination, const CopyProgressRoutine& progress) {
  for (int attempt = 0;; ++attempt) {
    const std::string parent = destination.parent_path().platformString();
    auto found = state_->directories.find(parent);
    std::error_code error;
    if (found == state_->directories.end()) {
      posix::UniqueFd directory;
      error = posix::OpenDestinationDirectory(destination, &directory);
      if (!error) found = state_->directories.emplace(parent, std::move(directory)).first;
    }
    auto staged = std::make_unique<posix::StagedFile>();
    if (!error) {
      error = posix::StageCopy(source, destination, progress, posix::CopyMethod::CopyFileRange, found->second.get(),
                               staged.get());
    }
    if (!error) {
      struct stat st {};
      if (::fstat(staged->fd(), &st) == 0) state_->bytes += static_cast<std::uint64_t>(st.st_size);
      state_->staged.push_back(std::move(staged));
      return {};
    }
    // Out of descriptors: what is staged is published, then the file is tried again.
    const bool outOfDescriptors =
        error == std::errc::too_many_files_open || error == std::errc::too_many_files_open_in_system;
    if (!outOfDescriptors || attempt > 0 || state_->staged.empty()) return error;
    staged.reset();
    if (auto commitError = Commit()) return commitError;
  }
}

std::error_code CopyBatch::Commit(const CommitProgress& progress) {
  State& state = *state_;
  std::error_code first;
  // The data was sent on its way as it was written: wait for it chunk by
  // chunk, so that whoever follows the copy hears from it in between.
  if (progress) {
    for (const auto& staged : state.staged) {
      if (!staged->AwaitWriteback(progress)) first = std::make_error_code(std::errc::operation_canceled);
      if (first) break;
    }
  }
  if (!first && state.staged.size() == 1) {
    first = state.staged.front()->Publish(/*replace=*/true, posix::Durability::DataAndName);
  } else if (!first && !state.staged.empty()) {
    // Then one flush per file system makes all of it durable.
    first = state.SyncFileSystems();
    if (!first) {
      for (const auto& staged : state.staged) {
        const std::error_code error = staged->Publish(/*replace=*/true, posix::Durability::AlreadyDurable);
        if (error && !first) first = error;
      }
      if (const std::error_code error = state.SyncFileSystems(); error && !first) first = error;
    }
  }
  state.staged.clear();
  state.directories.clear();
  state.bytes = 0;
  return first;
}

}  // namespace Tarnix::Core::internal
