#include "support/Platform.h"

#include "Filesystem/ioPath.h"

#include <cstdlib>

#include <windows.h>

namespace Tarnix::Test {

bool UnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

std::size_t OpenHandleCount() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
}

std::string GetEnvironment(const std::string& name) {
  const wchar_t* value = ::_wgetenv(Tarnix::ioPath(name).wstring().c_str());
  return value != nullptr ? Tarnix::ioPath(std::wstring(value)).utf8string() : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
  ::_wputenv_s(Tarnix::ioPath(name).wstring().c_str(), Tarnix::ioPath(value).wstring().c_str());
}

}  // namespace Tarnix::Test
