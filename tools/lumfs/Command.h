// Shared pieces of the lumfs subcommands.
#pragma once

#include "Platform.h"

#include <LumFilesystem.h>

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>
#include <type_traits>

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

// Every number on the command line is read by one of the two parsers below:
// decimal digits only (no sign, spaces, base prefix, exponent or grouping;
// no locale), and a value out of range is refused, never wrapped. Both throw
// CLI::ValidationError naming `what`, which main turns into exit status 2.

// A whole number in [min, max].
unsigned long long ParseWholeNumber(const std::string& text, unsigned long long min, unsigned long long max,
                                    const std::string& what);

// A size in bytes: "10", or a whole or decimal number with K, M or G (powers
// of 1024): "4K", "1.5M". Rounded down to whole bytes; at most 2^64 - 1.
unsigned long long ParseSize(const std::string& text, const std::string& what);

// Adds an option (or a positional, named without dashes) read with
// ParseWholeNumber into `*value` when it is given.
template <typename Integer>
CLI::Option* AddWholeNumber(CLI::App* command, const std::string& name, Integer* value, Integer min, Integer max,
                            const std::string& description) {
  static_assert(std::is_integral_v<Integer>, "whole numbers only");
  auto* option = command->add_option_function<std::string>(
      name,
      [value, min, max, what = name](const std::string& text) {
        *value = static_cast<Integer>(ParseWholeNumber(text, static_cast<unsigned long long>(min),
                                                       static_cast<unsigned long long>(max), what));
      },
      description);
  return option->type_name("UINT");
}

void AddCopyCommand(CLI::App& app);
void AddWatchCommand(CLI::App& app);
void AddCacheCommands(CLI::App& app);
void AddShellCommands(CLI::App& app);
void AddJunctionCommands(CLI::App& app);
void AddDirectoryCommands(CLI::App& app);

}  // namespace lumfs
