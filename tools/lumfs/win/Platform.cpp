#include "Platform.h"

#include "Command.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <memory>
#include <system_error>

namespace lumfs {

namespace {

using Tarnix::ioPath;
namespace fs = boost::filesystem;

std::atomic<bool> interrupted{false};
HANDLE interruptEvent = nullptr;  // set once by CatchInterrupts, never closed: the process ends with it

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  interrupted.store(true);
  if (interruptEvent != nullptr) ::SetEvent(interruptEvent);
  return TRUE;
}

std::string SystemMessage(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

std::string Utf8(const wchar_t* text) {
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(bytes) - 1);
  return utf8;
}

// Whether standard error is a console that understands the escapes of the
// progress line (virtual-terminal processing, switched on here).
bool terminalOutput = false;

// Whether `path` opens with `access`, without creating anything; the error
// when it does not.
std::optional<DWORD> OpenError(const ioPath& path, DWORD access) {
  const HANDLE file = ::CreateFileW(path.wstring().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  ::CloseHandle(file);
  return std::nullopt;
}

}  // namespace

std::vector<std::string> PrepareCommandLine(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&::LocalFree)> words(::CommandLineToArgvW(::GetCommandLineW(), &count),
                                                               &::LocalFree);
  if (words) {
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8(words.get()[i]));
  } else {
    arguments.assign(argv, argv + argc);  // no memory for the words: what the runtime made of them
  }
  // The console shows what lumfs writes, UTF-8, as it is.
  ::SetConsoleOutputCP(CP_UTF8);
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  terminalOutput = ::GetConsoleMode(error, &mode) != 0 &&
                   ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                    ::SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
  return arguments;
}

void CatchInterrupts() {
  if (interruptEvent == nullptr) interruptEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return interrupted.load(); }

void WaitForInterrupt() {
  // Without its event (it could not be made) the wait polls instead of spinning.
  while (!Interrupted()) {
    if (interruptEvent == nullptr || ::WaitForSingleObject(interruptEvent, INFINITE) == WAIT_FAILED) ::Sleep(50);
  }
}

// A console without escapes gets no redrawn line: a line per report instead.
bool StandardErrorIsTerminal() { return terminalOutput; }

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  ::localtime_s(&local, &seconds);
  return local;
}

std::optional<Obstacle> FindCopyObstacle(const ioPath& source, const ioPath& destination) {
  boost::system::error_code ec;
  const fs::path from(source.wstring());
  const fs::file_status sourceStatus = fs::status(from, ec);
  if (ec) return Obstacle{source, ec.message()};
  if (!fs::is_regular_file(sourceStatus)) return Obstacle{source, "not a regular file"};
  if (const auto error = OpenError(source, GENERIC_READ)) return Obstacle{source, SystemMessage(*error)};

  const fs::path to(destination.wstring());
  const fs::file_status status = fs::status(to, ec);
  if (fs::exists(status)) {
    if (fs::equivalent(from, to, ec)) return Obstacle{destination, "the same file as the source " + Show(source)};
    if (fs::is_directory(status)) return Obstacle{destination, SystemMessage(ERROR_DIRECTORY)};
    if (!fs::is_regular_file(status)) return Obstacle{destination, "not a regular file"};
    if (const auto error = OpenError(destination, GENERIC_WRITE)) return Obstacle{destination, SystemMessage(*error)};
    return std::nullopt;
  }
  // A new file: its directory must exist.
  const ioPath directory = destination.parent_path().empty() ? ioPath(".") : destination.parent_path();
  const fs::file_status parent = fs::status(fs::path(directory.wstring()), ec);
  if (!fs::exists(parent)) return Obstacle{directory, SystemMessage(ERROR_PATH_NOT_FOUND)};
  if (!fs::is_directory(parent)) return Obstacle{directory, SystemMessage(ERROR_DIRECTORY)};
  return std::nullopt;
}

bool CopyArrived(const ioPath& source, const ioPath& destination) {
  boost::system::error_code sourceError, destinationError;
  const auto from = fs::file_size(fs::path(source.wstring()), sourceError);
  const auto to = fs::file_size(fs::path(destination.wstring()), destinationError);
  return !sourceError && !destinationError && from == to;
}

bool LacksSpaceFor(const ioPath& directory, unsigned long long bytes) {
  ULARGE_INTEGER available{};
  return ::GetDiskFreeSpaceExW(directory.wstring().c_str(), &available, nullptr, nullptr) &&
         available.QuadPart < bytes;
}

std::string NoSpaceReason() { return SystemMessage(ERROR_DISK_FULL); }

}  // namespace lumfs
