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

// Holds no state: watchers keep no reference to the factory that made them.
class DirectoryWatcherFactory final : public IDirectoryWatcherFactory {
 public:
  ~DirectoryWatcherFactory() override = default;

  std::unique_ptr<IDirectoryWatcher> CreateWatcher(const ioPath& directory, WatchEvent kind,
                                                   std::function<void()> callback) override {
    try {
      if (!ioPath::is_directory(directory)) throw std::logic_error(directory.utf8string() + " is not a directory");
      ioPath canonical = directory.canonical_path();
      canonical.make_preferred();
      std::function<void()> owned = std::move(callback);
      return CreatePlatformDirectoryWatcher(canonical, kind, std::move(owned));
    } catch (const std::exception& e) {
      // On every failure the callback is destroyed here, never having been called.
      LOG(ERROR) << e.what();
      return nullptr;
    }
  }
};

}  // namespace

std::shared_ptr<IDirectoryWatcherFactory> CreateDirectoryWatcherFactory() {
  try {
    return std::make_shared<DirectoryWatcherFactory>();
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
    return nullptr;
  }
}

}  // namespace Tarnix::Core
