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
#include "Filesystem/EventHandlerList.h"
#include "Filesystem/ProgressController.h"
#include "Filesystem/CopyFiles.h"

// Recycle bin, attributes, cache root and junctions
#include "Filesystem/PathAttribute.h"
#include "Filesystem/ShellOperations.h"
#include "Filesystem/Junction.h"

// File caches
#include "Filesystem/AbstractFileCache.h"
#include "Filesystem/FileCache.h"
#include "Filesystem/FlatFileCache.h"

// Directory watching
#include "Filesystem/DirectoryWatcher.h"
