// LumFilesystem: the whole public API in one include.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"
#include "Filesystem/FileOperations.h"
