// Child processes on Windows: CreateProcessW with the standard output and
// error handles redirected to files.
#include "support/Test.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace Tarnix::Test {

namespace {

// One argument as CommandLineToArgvW splits it back. (None of the tests'
// arguments holds a double quote or ends in a backslash.)
std::wstring Quote(const std::wstring& argument) {
  const bool plain = !argument.empty() && argument.find_first_of(L" \t") == std::wstring::npos;
  return plain ? argument : L"\"" + argument + L"\"";
}

HANDLE InheritableFile(const ioPath& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& arguments, const ioPath& outputDir,
                 const std::string& firstWord)
    : out_(outputDir / "stdout"), err_(outputDir / "stderr") {
  std::wstring commandLine = Quote(ioPath(firstWord.empty() ? program : firstWord).wstring());
  for (const std::string& argument : arguments) commandLine += L" " + Quote(ioPath(argument).wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = InheritableFile(out_);
  startup.hStdError = InheritableFile(err_);
  PROCESS_INFORMATION started{};
  // Wine has failed, once in a CI run, to start a program that starts every
  // other time; such a failure is reported and tried again, one that is about
  // the file itself is not.
  DWORD error = 0;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (::CreateProcessW(ioPath(program).wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         nullptr, &startup, &started)) {
      error = 0;
      break;
    }
    error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
        error == ERROR_BAD_EXE_FORMAT) {
      break;
    }
    std::fprintf(stderr, "CreateProcessW failed for %s (error %lu), attempt %d of 3\n", program.c_str(),
                 static_cast<unsigned long>(error), attempt);
  }
  ::CloseHandle(startup.hStdOutput);
  ::CloseHandle(startup.hStdError);
  if (error != 0) throw std::runtime_error("CreateProcessW failed for " + program + ": error " + std::to_string(error));
  ::CloseHandle(started.hThread);
  process_ = started.hProcess;
}

Process::~Process() {
  if (process_ == nullptr) return;
  ::TerminateProcess(static_cast<HANDLE>(process_), 137);
  ::WaitForSingleObject(static_cast<HANDLE>(process_), INFINITE);
  ::CloseHandle(static_cast<HANDLE>(process_));
}

std::string Process::Out() const { return ReadFile(out_); }
std::string Process::Err() const { return ReadFile(err_); }

ProcessResult Process::Finish() {
  const auto handle = static_cast<HANDLE>(process_);
  if (::WaitForSingleObject(handle, 120'000) != WAIT_OBJECT_0) {
    ::TerminateProcess(handle, 137);
    ::WaitForSingleObject(handle, INFINITE);
  }
  DWORD status = 0;
  ::GetExitCodeProcess(handle, &status);
  ::CloseHandle(handle);
  process_ = nullptr;
  return {static_cast<int>(status), Out(), Err()};
}

}  // namespace Tarnix::Test
