// Shared pieces of the lumfs subcommands.
#pragma once

#include <LumFilesystem.h>

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>

namespace lumfs {

// A failed operation: main prints "lumfs: <what>" on standard error and exits 1.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws CommandError naming the path and the reason.
[[noreturn]] void Fail(const Tarnix::ioPath& path, const std::string& reason);

// The path for messages: its UTF-8 text, unquoted.
std::string Show(const Tarnix::ioPath& path);

// Throws CommandError unless something exists at `path`.
void RequireExisting(const Tarnix::ioPath& path);

// "1.5 MiB", "512 B".
std::string FormatBytes(double bytes);

// "10", "4K", "1.5M", "2G" (powers of 1024) -> bytes; throws CLI::ValidationError.
unsigned long long ParseSize(const std::string& text);

// SIGINT and SIGTERM set a flag instead of ending the process.
void CatchInterrupts();
bool Interrupted();
// Blocks until an interrupt arrives.
void WaitForInterrupt();

void AddCopyCommand(CLI::App& app);
void AddWatchCommand(CLI::App& app);
void AddCacheCommands(CLI::App& app);
void AddShellCommands(CLI::App& app);
void AddJunctionCommands(CLI::App& app);
void AddDirectoryCommands(CLI::App& app);

}  // namespace lumfs
