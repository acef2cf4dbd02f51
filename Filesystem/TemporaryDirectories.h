// Well-known directories of an application: a fresh scratch directory, a
// per-product directory for temporary files, and the directory the program
// was started from.
//
// No state is kept between calls; any thread may call these. Nothing is
// logged. "The system temporary directory" is ioPath::temp_directory_path()
// ($TMPDIR, else /tmp on Linux).
//
// Linux differs from Windows where the temporary directory is shared by all
// users: the directories made here are created with mode 0700, and a product
// directory (or its `temp` level) that is a symbolic link, belongs to another
// user or may be written by others is refused rather than used or cleared.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <string>

namespace Tarnix::Core {

// Creates a directory directly below the system temporary directory, named
// by a random version-4 UUID in lower-case text form
// ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"), and returns its path. One name is
// drawn and tried once; when it cannot be created the path is still returned
// and simply does not exist.
// Throws std::runtime_error "Unable to create temp directory" when no random
// name can be drawn or the system temporary directory cannot be determined.
LUMFILESYSTEM_EXPORT ioPath GenerateTempDir();

// <system temporary directory>/<productName>/temp, created when missing (the
// result of the creation is not checked: a directory that cannot be created
// is returned all the same). `productName` is one path element, or several
// below one another; a ".." element is refused with
// boost::filesystem::filesystem_error (errc::invalid_argument), so the result
// never lies outside the system temporary directory.
// Throws boost::filesystem::filesystem_error when the system temporary
// directory cannot be determined, and (Linux) with errc::permission_denied
// naming the offending path when a level below the system temporary
// directory is a symbolic link, belongs to another user or has a group or
// world write bit; nothing is created below it then.
LUMFILESYSTEM_EXPORT ioPath GetProductTemporaryFilesDir(const std::string& productName);

// Removes every direct entry of the product's `temp` directory that is at
// least `minAgeDays` whole days old (a subdirectory with its tree), and then
// `temp` itself when every entry was old enough; the product directory always
// stays. Creates the directories first when they are missing. Removal
// failures are silent; the exceptions of GetProductTemporaryFilesDir and the
// filesystem_error of the existence test of `temp` pass through.
LUMFILESYSTEM_EXPORT void ClearProductTemporaryFilesDir(const std::string& productName, int minAgeDays);

// The directory part of the first word of this process's command line, as
// the program was started: absolute, relative (not made absolute) or empty
// when it was started by bare name or the command line has no first word.
// The executable's own location is not consulted.
// Linux: the first word is argv[0] as passed to execve().
LUMFILESYSTEM_EXPORT ioPath GetApplicationDir();

}  // namespace Tarnix::Core
