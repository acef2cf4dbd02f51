// The first word of the process's command line as Windows splits it.
#include "Filesystem/internal/CommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>

namespace Tarnix::Core::internal {

std::optional<ioPath::string_type> FirstCommandLineWord() {
  const std::wstring commandLine(::GetCommandLineW());
  int count = 0;
  // The word array is one LocalAlloc block, freed on every way out.
  const std::shared_ptr<LPWSTR> words(::CommandLineToArgvW(commandLine.c_str(), &count),
                                      [](LPWSTR* array) { ::LocalFree(array); });
  if (count < 1 || !words || words.get()[0] == nullptr) return std::nullopt;
  return std::wstring(words.get()[0]);
}

}  // namespace Tarnix::Core::internal
