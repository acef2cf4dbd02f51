// Linux has no command-line string of its own: the kernel keeps the argument
// vector the process was started with, and /proc/self/cmdline shows it as
// NUL-terminated words.
#include "Filesystem/internal/CommandLine.h"

#include "Filesystem/posix/File.h"
#include "Filesystem/posix/SystemCall.h"

#include <unistd.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace Tarnix::Core::internal {

std::optional<ioPath::string_type> FirstCommandLineWord() {
  posix::UniqueFd fd;
  if (posix::OpenFile("/proc/self/cmdline", O_RDONLY, 0, &fd)) return std::nullopt;

  // Read up to the first NUL only: the remaining words can be long.
  ioPath::string_type word;
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = posix::RetryOnEintr([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    const std::size_t length = static_cast<std::size_t>(got);
    const std::size_t nul = std::string_view(buffer.data(), length).find('\0');
    if (nul != std::string_view::npos) return word.append(buffer.data(), nul);
    word.append(buffer.data(), length);
  }
  // No NUL at all: an empty argument vector, or a word without terminator
  // (a process that overwrote its arguments).
  if (word.empty()) return std::nullopt;
  return word;
}

}  // namespace Tarnix::Core::internal
