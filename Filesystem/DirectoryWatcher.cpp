// The platform-neutral watcher layer: the exported interfaces and the factory,
// which checks the directory, canonicalises it and turns every failure of the
// platform watcher into an empty pointer and one ERROR record.
#include "Filesystem/DirectoryWatcher.h"

#include "Filesystem/internal/PlatformDirectoryWatcher.h"

#include <glog/logging.h>

#include <exception>
#include <stdexcept>
#include <utility>

namespace Tarnix::Core {

IDirectoryWatcher::IDirectoryWatcher() = default;
IDirectoryWatcher::IDirectoryWatcher(const IDirectoryWatcher&) = default;
IDirectoryWatcher& IDirectoryWatcher::operator=(const IDirectoryWatcher&) = default;
IDirectoryWatcher::~IDirectoryWatcher() = default;

IDirectoryWatcherFactory::IDirectoryWatcherFactory() = default;
IDirectoryWatcherFactory::IDirectoryWatcherFactory(const IDirectoryWatcherFactory&) = default;
IDirectoryWatcherFactory& IDirectoryWatcherFactory::operator=(const IDirectoryWatcherFactory&) = default;
IDirectoryWatcherFactory::~IDirectoryWatcherFactory() = default;

namespace {

// The one entry of both kinds of watcher: checks the directory, canonicalises
// it and hands it to `create` (which gets the platform watcher going), turning
// every std::exception into an empty pointer and one ERROR record. The caller
// has moved its callback into `create`, so on failure it is destroyed here,
// never having been called.
template <typename Create>
std::unique_ptr<IDirectoryWatcher> CreateChecked(const ioPath& directory, Create&& create) {
  try {
    // The ERROR record below holds what() alone: this text, and the texts of
    // the platform's construction failures, are part of the library's contract.
    if (!ioPath::is_directory(directory)) throw std::logic_error(directory.utf8string() + " is not a directory");
    ioPath canonical = directory.canonical_path();
    canonical.make_preferred();
    return create(canonical);
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
    return nullptr;
  }
}

// Holds no state: watchers keep no reference to the factory that made them.
class DirectoryWatcherFactory final : public IDirectoryWatcherFactory {
 public:
  ~DirectoryWatcherFactory() override = default;

  std::unique_ptr<IDirectoryWatcher> CreateWatcher(const ioPath& directory, WatchEvent kind,
                                                   std::function<void()> callback) override {
    std::function<void()> owned = std::move(callback);
    return CreateChecked(directory, [&](const ioPath& canonical) {
      return CreatePlatformDirectoryWatcher(canonical, kind, std::move(owned));
    });
  }
};

}  // namespace

std::unique_ptr<IDirectoryWatcher> CreateChangeWatcher(const ioPath& directory, ChangeCallback callback) {
  ChangeCallback owned = std::move(callback);
  return CreateChecked(directory, [&](const ioPath& canonical) {
    return CreatePlatformChangeWatcher(canonical, std::move(owned));
  });
}

std::shared_ptr<IDirectoryWatcherFactory> CreateDirectoryWatcherFactory() {
  try {
    return std::make_shared<DirectoryWatcherFactory>();
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();  // what() alone is part of the library's contract
    return nullptr;
  }
}

}  // namespace Tarnix::Core
