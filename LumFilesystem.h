// LumFilesystem: the whole public API in one include.
#pragma once

#include "Filesystem/Export.h"

// Paths and basic file operations
#include "Filesystem/ioPath.h"
#include "Filesystem/FileOperations.h"

// Temporary directories and path naming
#include "Filesystem/TemporaryDirectories.h"
#include "Filesystem/PathNaming.h"

// Copying files with progress
// (none yet)

// Recycle bin, attributes, cache root and junctions
// (none yet)

// File caches
// (none yet)

// Directory watching
// (none yet)
