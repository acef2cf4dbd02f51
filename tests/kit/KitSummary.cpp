// KitSummary RESULTS: the test kit's tally. For every *Test.exe beside this
// program it reads RESULTS\<name>.xml (GoogleTest's JUnit report) and
// RESULTS\<name>.exit (the program's exit status, written by run-tests.cmd),
// prints each program's counts, the failed tests and the reasons for the
// skipped ones, and last the closing line "N passed, N failed, N skipped".
// A program without a report, or whose exit status is not 0 while its report
// shows no failure (it crashed, or a DLL is missing: status 53 under Wine,
// 0xC0000135 on Windows), counts as one failed test.
// Exit status 0 when nothing failed, 1 otherwise.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value of attribute `name` in `tag`, empty when it has none, its
// character references replaced (a line end by " | ").
std::string Attribute(const std::string& tag, const std::string& name) {
  const std::string key = " " + name + "=\"";
  const auto start = tag.find(key);
  if (start == std::string::npos) return "";
  const auto from = start + key.size();
  std::string value = tag.substr(from, tag.find('"', from) - from);
  const std::pair<std::string, std::string> references[] = {
      {"&#x0A;", " | "}, {"&#x0D;", ""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [reference, text] : references) {
    for (auto at = value.find(reference); at != std::string::npos; at = value.find(reference, at + text.size())) {
      value.replace(at, reference.size(), text);
    }
  }
  return value;
}

struct Tally {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  std::vector<std::string> notes;  // failed and skipped tests, one line each
};

// One <testcase> element after another: skipped when its result says so,
// failed when a <failure> is inside it.
Tally Count(const std::string& xml) {
  Tally tally;
  std::string suite;
  for (auto at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
    const std::string tag = xml.substr(at, xml.find('>', at) - at + 1);
    if (tag.rfind("<testsuite ", 0) == 0) suite = Attribute(tag, "name");
    if (tag.rfind("<testcase ", 0) != 0) continue;
    const std::string name = suite + "." + Attribute(tag, "name");
    const bool closed = tag.size() >= 2 && tag[tag.size() - 2] == '/';
    const std::string body = closed ? "" : xml.substr(at, xml.find("</testcase>", at) - at);
    if (Attribute(tag, "result") == "skipped") {
      ++tally.skipped;
      const auto skip = body.find("<skipped ");
      std::string why = skip == std::string::npos ? "" : Attribute(body.substr(skip, body.find('>', skip) - skip), "message");
      tally.notes.push_back("  skipped " + name + (why.empty() ? "" : ": " + why));
    } else if (body.find("<failure") != std::string::npos) {
      ++tally.failed;
      tally.notes.push_back("  FAILED  " + name);
    } else {
      ++tally.passed;
    }
  }
  return tally;
}

// Where the tests ran: the tests skip what Wine lacks, and say so.
std::string System() {
  using WineVersion = const char*(__cdecl*)();
  const auto wine = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
  return wine != nullptr ? std::string("Wine ") + wine() + " (what Wine lacks is skipped)" : "Windows";
}

fs::path OwnFolder() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: KitSummary RESULTS-FOLDER\n";
    return 2;
  }
  const fs::path results(argv[1]);
  std::vector<fs::path> programs;
  for (const auto& entry : fs::directory_iterator(OwnFolder())) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, "Test.exe") == 0) programs.push_back(entry.path());
  }
  std::sort(programs.begin(), programs.end());
  std::cout << "Ran on " << System() << "\n";
  Tally total;
  for (const fs::path& program : programs) {
    const std::string name = program.stem().string();
    const fs::path report = results / (name + ".xml");
    Tally tally = fs::exists(report) ? Count(Read(report)) : Tally{};
    const std::string status = Read(results / (name + ".exit"));
    const bool exitedWell = status.find_first_not_of("0 \r\n") == std::string::npos && !status.empty();
    if (!fs::exists(report)) {
      ++tally.failed;
      tally.notes.push_back("  FAILED  no report: the program did not finish (exit status " + status.substr(0, status.find_first_of("\r\n")) + ")");
    } else if (!exitedWell && tally.failed == 0) {
      ++tally.failed;
      tally.notes.push_back("  FAILED  exit status " + status.substr(0, status.find_first_of("\r\n")) + " after its tests");
    }
    std::cout << name << ": " << tally.passed << " passed, " << tally.failed << " failed, " << tally.skipped << " skipped\n";
    for (const std::string& note : tally.notes) std::cout << note << "\n";
    total.passed += tally.passed;
    total.failed += tally.failed;
    total.skipped += tally.skipped;
  }
  if (programs.empty()) ++total.failed;  // a kit without its tests
  std::cout << total.passed << " passed, " << total.failed << " failed, " << total.skipped << " skipped" << std::endl;
  return total.failed == 0 ? 0 : 1;
}
