// LumFilesystem: the whole public API in one include.
#pragma once

#include "Filesystem/Export.h"

// Paths and basic file operations
#include "Filesystem/ioPath.h"
#include "Filesystem/FileOperations.h"

// Temporary directories and path naming
// (none yet)

// Copying files with progress
// (none yet)

// Recycle bin, attributes, cache root and junctions
// (none yet)

// File caches
#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/FileCache.h"
#include "Filesystem/FlatFileCache.h"

// Directory watching
// (none yet)
