// The order of a placement's steps: the new file is made ready (moved, or
// copied out of sight) before room is made for it, and room is made again
// whenever someone else took the name meanwhile.
#include "Filesystem/internal/FilePlacement.h"

namespace Tarnix::Core::internal {

namespace {

// Bounds the rounds of a placement that keeps finding a new file at its
// name: each round made room, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

}  // namespace

std::error_code PlaceFile(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                          const std::function<bool()>& makeRoom, Placement* placement, Staging staging) {
  *placement = Placement();
  std::unique_ptr<PlacementSource> source;
  if (auto error = OpenPlacementSource(from, directory, name, timestamp, staging, &source)) return error;
  bool move = source->CanMove();
  if (!move) {
    if (auto error = source->Stage()) return error;
  }
  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    if (!makeRoom()) return std::make_error_code(std::errc::device_or_resource_busy);
    const std::error_code error = move ? source->Move() : source->Publish();
    if (error == std::errc::file_exists) continue;
    if (error && move) {
      // Refused for another reason (one device seen through two mounts, a
      // reader that came meanwhile, a source directory we may not change):
      // copy it instead.
      move = false;
      if (auto stageError = source->Stage()) return stageError;
      continue;
    }
    if (error) return error;
    placement->placed = true;
    placement->sourceKept = !move && !source->RemoveSource();
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

}  // namespace Tarnix::Core::internal
