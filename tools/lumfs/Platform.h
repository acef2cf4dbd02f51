// What lumfs needs from the system beyond the library: interrupts, the
// terminal, local time, and a look at a copy's files before and after it.
// posix/Platform.cpp and win/Platform.cpp implement it.
#pragma once

#include <LumFilesystem.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace lumfs {

// The program's arguments in UTF-8, the program's name first, and the
// console made ready for UTF-8 output. Windows: read from the wide command
// line (the ANSI one cannot carry every name); `argv` is not used.
std::vector<std::string> PrepareCommandLine(int argc, char** argv);

// Ctrl-C (and on Linux SIGTERM) sets a flag instead of ending the process.
void CatchInterrupts();
bool Interrupted();
// Blocks until an interrupt arrives.
void WaitForInterrupt();

// Whether standard error is a terminal (then progress is redrawn in place).
bool StandardErrorIsTerminal();

std::tm LocalTime(std::time_t seconds);

// What stands in the way of copying `source` to `destination`, as the copy
// itself would meet it: the path at fault and the reason. None when nothing
// shows (the copy may still fail while it writes).
struct Obstacle {
  Tarnix::ioPath path;
  std::string reason;
};
std::optional<Obstacle> FindCopyObstacle(const Tarnix::ioPath& source, const Tarnix::ioPath& destination);

// Whether `destination` holds as many bytes as `source`: a file the copy
// finished (a failed or cancelled one is removed).
bool CopyArrived(const Tarnix::ioPath& source, const Tarnix::ioPath& destination);

// Whether the file system of `directory` has fewer than `bytes` free for us,
// and the system's words for that.
bool LacksSpaceFor(const Tarnix::ioPath& directory, unsigned long long bytes);
std::string NoSpaceReason();

}  // namespace lumfs
