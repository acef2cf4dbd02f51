// Symbol visibility for LumFilesystem. The library is built with hidden
// visibility; only declarations marked LUMFILESYSTEM_EXPORT are part of its ABI.
#pragma once

#if defined(_WIN32)
#  if defined(LUMFILESYSTEM_BUILDING)
#    define LUMFILESYSTEM_EXPORT __declspec(dllexport)
#  else
#    define LUMFILESYSTEM_EXPORT __declspec(dllimport)
#  endif
#else
#  define LUMFILESYSTEM_EXPORT __attribute__((visibility("default")))
#endif
