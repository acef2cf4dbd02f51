// Uses the installed library through <LumFilesystem.h> only: builds a small
// tree in a scratch directory, copies it and cleans up.
#include <LumFilesystem.h>

#include <fstream>
#include <iostream>

using Tarnix::ioPath;

int main() {
  const ioPath scratch = ioPath::temp_directory_path() / "lumfilesystem-consumer";
  Tarnix::Core::RemoveDir(scratch);
  const ioPath source = scratch / "source";
  if (!ioPath::create_directories(source / "nested")) {
    std::cerr << "cannot create " << source << "\n";
    return 1;
  }
  // platformString() is UTF-16 on Windows: libstdc++ opens a wchar_t* name there, as MSVC does.
  std::ofstream((source / "nested" / "notes.txt").platformString().c_str()) << "hello\n";

  const ioPath copy = scratch / "copy";
  const bool copied = Tarnix::Core::CopyDir(source, copy);
  const ioPath copiedFile = copy / "nested" / "notes.txt";
  std::cout << "CopyDir " << source << " -> " << copy << ": " << (copied ? "ok" : "failed") << "\n"
            << copiedFile.filename().utf8string() << " has " << copiedFile.file_size() << " bytes\n";

  const bool removed = Tarnix::Core::RemoveDir(scratch);
  std::cout << "RemoveDir " << scratch << ": " << (removed ? "ok" : "failed") << "\n";
  return copied && removed && Tarnix::Core::FileExists(scratch) == false ? 0 : 1;
}
