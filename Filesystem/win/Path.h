// How the Windows backend names files to the system and reads its failures:
// one path form for every Win32 call that takes a path, one sorting of the
// failures that mean "in use", "being deleted" or "no access", and the
// deletion and renaming of an open file the way the system allows best.
#pragma once

#include "Filesystem/ioPath.h"

#include <windows.h>

#include <string>
#include <system_error>

namespace Tarnix::Core::win {

// The form of `path` every Win32 call of the backend is given: absolute (a
// relative path is taken from the current directory), `\` separators, `.`
// and `..` resolved, and in the long form (`\\?\C:\…`, or
// `\\?\UNC\server\share\…` for a share), so that no MAX_PATH limit applies
// and no name is cut short. A path in the long form already, or a device
// path (`\\.\…`), stays as it is. Empty for an empty path.
std::wstring Win32Path(const ioPath& path);
std::wstring Win32Path(const std::wstring& path);

// The absolute path without the long form, for the calls that do not take
// it (the shell's file operations): empty when it cannot be made absolute or
// is longer than such calls take (MAX_PATH less the terminating NUL).
std::wstring ShortFormPath(const ioPath& path);

// Whether `name` (one path element) names a file of its own on Windows:
// not empty, no trailing dot or space (the system drops them), none of
// < > : " / \ | ? * nor control characters (":" would name a stream of
// another file), and no device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
// with or without an extension). Letter case is not considered: names that
// differ only in case name one file.
bool IsPlainName(const std::wstring& name);

// What the entry at `path` leads to (a link followed, as opening a file
// follows it): false when it leads nowhere or cannot be opened.
bool FollowLink(const ioPath& path, BY_HANDLE_FILE_INFORMATION* target);

// What a failed Win32 call means to the backend.
enum class Failure {
  Other,
  Missing,       // no file or no folder at the path
  InUse,         // another handle's sharing mode or lock refuses the access
  BeingDeleted,  // the file is delete-pending: deleted, but held open by someone
  NoAccess,      // the security settings (or a read-only file) refuse the access
};

struct SortedFailure {
  std::error_code error;  // the system error, in the system category
  Failure kind;
};

// Sorts the failure of the Win32 call made last on this thread. Read it
// before any other call: it reads the thread's last error (and the NT
// status behind it, which tells a delete-pending file from a refused one).
SortedFailure LastFailure();

// The NT information classes the system has since Windows 10 1607/1709; not
// every file system (nor every emulation of Windows) knows them.
inline constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
inline constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Deletes the file `file` was opened for (with DELETE, FILE_READ_ATTRIBUTES
// and FILE_WRITE_ATTRIBUTES access; a read-only file is deleted too). With POSIX
// semantics where the system has them: the name goes at once even when
// others hold the file open sharing deletion. Elsewhere the classic way,
// where the name stays, delete-pending, until the last holder closes the
// file: given `aside` (a path in the same directory), the file is renamed
// there first so that its own name is free at once. Errors: the system's.
[[nodiscard]] std::error_code DeleteByHandle(HANDLE file, const std::wstring& aside = {});

// Renames the file `file` was opened for (with DELETE access) to `target`
// (any path Win32Path takes). With `replace` an entry at `target` is
// replaced, with POSIX semantics where the system has them (a file others
// hold open sharing deletion is replaced too); without, the name must be
// free: errc::file_exists otherwise. Errors: the system's.
[[nodiscard]] std::error_code RenameByHandle(HANDLE file, const std::wstring& target, bool replace);

}  // namespace Tarnix::Core::win
