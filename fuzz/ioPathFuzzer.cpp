// The path algebra of ioPath on arbitrary bytes: construction from narrow and
// wide text, joining, concatenation, decomposition, comparison and streaming,
// each checked against the rule it must follow, not only for crashes.
//
// Input: up to three paths separated by '\n' (a, b, c); the wide text is made
// from the bytes of a, three bytes per character, so that surrogates and
// values beyond U+10FFFF come up.
#include "Filesystem/ioPath.h"
#include "fuzz/FuzzCheck.h"

#include <utf8.h>

#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Tarnix::ioPath;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }
bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The quoted form: '"', every '"' and '&' escaped with '&', '"'.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '&') quoted += '&';
    quoted += c;
  }
  return quoted + '"';
}

void CheckConstruction(const std::string& bytes) {
  const ioPath p(bytes);
  // On Linux the narrow forms are the bytes themselves.
  FUZZ_CHECK(p.utf8string() == bytes);
  FUZZ_CHECK(p.platformString() == bytes);
  FUZZ_CHECK(ioPath(bytes.c_str()).utf8string() == std::string(bytes.c_str()));
  if (utf8::is_valid(bytes.begin(), bytes.end())) {
    std::wstring wide;
    utf8::utf8to32(bytes.begin(), bytes.end(), std::back_inserter(wide));
    FUZZ_CHECK(p.wstring() == wide);
    FUZZ_CHECK(ioPath(p.wstring()).utf8string() == bytes);
  }

  ioPath copy(p);
  ioPath moved(std::move(copy));
  FUZZ_CHECK(copy.empty() && moved.utf8string() == bytes);
  ioPath& alias = moved;
  moved = alias;
  moved = std::move(alias);
  FUZZ_CHECK(moved.utf8string() == bytes);
}

// Wide text converts to UTF-8; unpaired surrogates and values beyond
// U+10FFFF become U+FFFD, everything else round-trips.
void CheckWide(const std::string& bytes) {
  std::wstring wide;
  for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + k])); };
    wide += static_cast<wchar_t>(byte(0) << 16 | byte(1) << 8 | byte(2));
  }
  std::wstring expected = wide;
  for (wchar_t& c : expected) {
    const auto code = static_cast<std::uint32_t>(c);
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) c = 0xFFFD;
  }
  const ioPath p(wide);
  const std::string utf8 = p.utf8string();
  FUZZ_CHECK(utf8::is_valid(utf8.begin(), utf8.end()));
  FUZZ_CHECK(p.wstring() == expected);
  FUZZ_CHECK(ioPath(utf8) == p);
}

void CheckDecomposition(const std::string& bytes) {
  const ioPath p(bytes);
  const std::string rootName = p.root_name().utf8string();
  const std::string rootDirectory = p.root_directory().utf8string();
  const std::string relative = p.relative_path().utf8string();
  const std::string parent = p.parent_path().utf8string();
  const std::string filename = p.filename().utf8string();
  const std::string stem = p.stem().utf8string();
  const std::string extension = p.extension().utf8string();

  FUZZ_CHECK(p.root_path().utf8string() == rootName + rootDirectory);
  FUZZ_CHECK(StartsWith(bytes, rootName));
  FUZZ_CHECK(EndsWith(bytes, relative));
  FUZZ_CHECK(StartsWith(bytes, parent));
  // A trailing separator after a name makes the file name ".".
  FUZZ_CHECK(EndsWith(bytes, filename) || (filename == "." && EndsWith(bytes, "/")));
  FUZZ_CHECK(stem + extension == filename);
  FUZZ_CHECK(extension.empty() || (extension[0] == '.' && filename != "." && filename != ".."));
  FUZZ_CHECK(ioPath::extension(p) == p.extension());

  FUZZ_CHECK(p.empty() == bytes.empty());
  FUZZ_CHECK(p.has_filename() == !bytes.empty());
  FUZZ_CHECK(p.has_root_name() == !rootName.empty());
  FUZZ_CHECK(p.has_root_directory() == !rootDirectory.empty());
  FUZZ_CHECK(p.has_root_path() == !(rootName + rootDirectory).empty());
  FUZZ_CHECK(p.has_relative_path() == !relative.empty());
  FUZZ_CHECK(p.has_parent_path() == !parent.empty());
  FUZZ_CHECK(p.has_stem() == !stem.empty());
  FUZZ_CHECK(p.has_extension() == !extension.empty());
  FUZZ_CHECK(p.is_absolute() == p.has_root_directory());  // POSIX: no root name needed
  FUZZ_CHECK(p.is_relative() == !p.is_absolute());

  // Extension edits: the static form leaves its argument alone.
  const ioPath edited = ioPath::change_extension(p, ioPath("ext"));
  FUZZ_CHECK(p.utf8string() == bytes);
  ioPath inPlace(p);
  FUZZ_CHECK(inPlace.replace_extension(ioPath("ext")).utf8string() == edited.utf8string());
}

// `/` adds exactly one separator where neither side has one; `+` none.
void CheckJoinAndConcatenation(const std::string& a, const std::string& b) {
  const ioPath pa(a);
  const ioPath pb(b);
  std::string joined = a;
  if (!b.empty() && !a.empty() && b[0] != '/' && a.back() != '/') joined += '/';
  joined += b;
  FUZZ_CHECK((pa / pb).utf8string() == joined);
  ioPath appended(pa);
  appended /= pb;
  FUZZ_CHECK(appended.utf8string() == joined);
  FUZZ_CHECK((pa + pb).utf8string() == a + b);
  ioPath concatenated(pa);
  concatenated += pb;
  FUZZ_CHECK(concatenated.utf8string() == a + b);
  FUZZ_CHECK(pa.utf8string() == a && pb.utf8string() == b);
}

// A strict weak ordering whose equivalence is ==.
void CheckComparison(const std::string& a, const std::string& b, const std::string& c) {
  const ioPath pa(a), pb(b), pc(c);
  FUZZ_CHECK(!(pa < pa) && pa == pa && !(pa != pa));
  FUZZ_CHECK(!(pa < pb && pb < pa));
  FUZZ_CHECK((pa == pb) == (!(pa < pb) && !(pb < pa)));
  FUZZ_CHECK((pa != pb) == !(pa == pb));
  FUZZ_CHECK(a != b || pa == pb);
  if (pa < pb && pb < pc) FUZZ_CHECK(pa < pc);
  if (pa == pb) FUZZ_CHECK((pa < pc) == (pb < pc) && (pc < pa) == (pc < pb) && (pa == pc) == (pb == pc));
}

void CheckStreaming(const std::string& bytes, std::size_t width) {
  const ioPath p(bytes);
  std::ostringstream plain;
  plain << p;
  const std::string quoted = Quoted(bytes);
  FUZZ_CHECK(plain.str() == quoted);

  const std::string padding(width > quoted.size() ? width - quoted.size() : 0, '*');
  std::ostringstream left;
  left << std::left << std::setfill('*') << std::setw(static_cast<int>(width)) << p << '|';
  FUZZ_CHECK(left.str() == quoted + padding + '|');
  std::ostringstream right;
  right << std::right << std::setfill('*') << std::setw(static_cast<int>(width)) << p << '|';
  FUZZ_CHECK(right.str() == padding + quoted + '|');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (parts.size() < 2) {
    const std::size_t end = input.find('\n', begin);
    if (end == std::string::npos) break;
    parts.push_back(input.substr(begin, end - begin));
    begin = end + 1;
  }
  parts.push_back(input.substr(begin));
  parts.resize(3);
  const std::string& a = parts[0];
  const std::string& b = parts[1];
  const std::string& c = parts[2];

  CheckConstruction(a);
  CheckWide(a);
  CheckDecomposition(a);
  CheckJoinAndConcatenation(a, b);
  CheckComparison(a, b, c);
  CheckStreaming(a, size % 64);
  return 0;
}
