// The recycle bin on Linux: the freedesktop.org trash through GIO.
#include "Filesystem/FileOperations.h"
#include "Filesystem/ShellOperations.h"

#include <gio/gio.h>
#include <glog/logging.h>

#include <memory>

namespace Tarnix::Core {

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct GErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};

}  // namespace

bool MoveToTrash(const ioPath& path) {
  if (!FileExists(path)) return false;

  // The local VFS, not the default one: the trash of a local path is handled
  // in-process and never depends on a desktop session's daemons.
  std::unique_ptr<GFile, GObjectUnref> file(
      g_vfs_get_file_for_path(g_vfs_get_local(), path.platformString().c_str()));
  GError* rawError = nullptr;
  const bool trashed = g_file_trash(file.get(), nullptr, &rawError);
  std::unique_ptr<GError, GErrorFree> error(rawError);
  if (!trashed) {
    // This text is part of the library's contract (on Windows the code is the shell's).
    LOG(ERROR) << "Moving to trash failed with code:" << (error ? error->code : G_IO_ERROR_FAILED);
    return false;
  }
  return true;
}

}  // namespace Tarnix::Core
