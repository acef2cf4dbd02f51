// lumfs tmp new|clean, rmdir, copydir, freename.
#include "Command.h"
#include "ProgressLine.h"

#include <utf8.h>

#include <iostream>
#include <limits>

namespace lumfs {

using Tarnix::ioPath;

namespace {

// "copydir: 120 entries, 3.0 MiB" with the time taken (in the summary) and the
// rate: bytes for a copy, entries for a removal.
std::string DescribeTree(const std::string& what, const Tarnix::Core::TreeProgress& progress, double seconds,
                         bool summary, bool byteRate) {
  std::string text = what + std::to_string(progress.entries) + " entries, " + FormatBytes(progress.bytes);
  if (summary) text += " in " + FormatSeconds(seconds);
  const std::string rate = FormatRate(byteRate ? progress.bytes : progress.entries, seconds, byteRate);
  if (!rate.empty()) text += ", " + rate;
  return text;
}

// Runs a tree operation that reports each entry, with a progress line and a
// summary; returns what the operation returned.
template <typename Operation>
bool WithTreeProgress(const std::string& what, bool byteRate, Operation operation) {
  ProgressLine line(StandardErrorIsTerminal());
  Tarnix::Core::TreeProgress last;
  const bool result = operation([&](const Tarnix::Core::TreeProgress& progress) {
    last = progress;
    if (line.Due()) line.Draw(DescribeTree(what, progress, line.Seconds(), false, byteRate));
  });
  line.Finish(DescribeTree(what, last, line.Seconds(), true, byteRate));
  return result;
}

}  // namespace

void AddDirectoryCommands(CLI::App& app) {
  auto* tmp = app.add_subcommand("tmp", "Temporary directories");
  tmp->require_subcommand(1);
  tmp->add_subcommand("new", "Create a new, uniquely named temporary directory and print it")->callback([] {
    const ioPath directory = Tarnix::Core::GenerateTempDir();
    if (!Tarnix::Core::FileExists(directory)) Fail(directory, "could not be created");
    std::cout << Show(directory) << '\n';
  });
  auto product = std::make_shared<std::string>();
  auto days = std::make_shared<int>(0);
  auto* clean = tmp->add_subcommand("clean", "Remove a product's temporary files at least DAYS days old");
  clean->add_option("PRODUCT", *product, "Product name")->required();
  AddWholeNumber(clean, "DAYS", days.get(), 0, std::numeric_limits<int>::max(), "Minimum age in whole days")
      ->required();
  clean->callback([product, days] {
    const ioPath directory = Tarnix::Core::GetProductTemporaryFilesDir(*product);
    Tarnix::Core::ClearProductTemporaryFilesDir(*product, *days);
    std::cout << "cleaned " << Show(directory) << (Tarnix::Core::FileExists(directory) ? "" : " (now empty: removed)")
              << '\n';
  });

  auto directory = std::make_shared<std::string>();
  auto olderThan = std::make_shared<int>(-1);
  auto keepSelf = std::make_shared<bool>(false);
  auto* rmdir = app.add_subcommand("rmdir", "Remove a directory tree, or only its entries older than some days");
  rmdir->add_option("DIR", *directory, "The directory")->required();
  AddWholeNumber(rmdir, "--older-than", olderThan.get(), 0, std::numeric_limits<int>::max(),
                 "Remove only direct entries at least this many days old");
  rmdir->add_flag("--keep-self", *keepSelf, "Keep DIR itself even when it ends up empty");
  rmdir->callback([directory, olderThan, keepSelf] {
    const ioPath path(*directory);
    RequireExisting(path);
    if (!ioPath::is_directory(path)) Fail(path, "not a directory");
    const bool byAge = *olderThan >= 0 || *keepSelf;
    const bool removed = WithTreeProgress("rmdir: removed ", false, [&](const auto& progress) {
      return byAge ? Tarnix::Core::RemoveDir(path, std::max(*olderThan, 0), !*keepSelf, progress)
                   : Tarnix::Core::RemoveDir(path, progress);
    });
    if (!removed) Fail(path, byAge ? "nothing was old enough to remove, or a removal failed" : "could not be removed");
  });

  auto source = std::make_shared<std::string>();
  auto destination = std::make_shared<std::string>();
  auto* copydir = app.add_subcommand("copydir", "Copy a directory tree into DEST (created, one level)");
  copydir->add_option("SRC", *source, "Source directory")->required();
  copydir->add_option("DEST", *destination, "Destination directory")->required();
  copydir->callback([source, destination] {
    const ioPath from(*source);
    RequireExisting(from);
    if (!ioPath::is_directory(from)) Fail(from, "not a directory");
    const ioPath to(*destination);
    const bool copied = WithTreeProgress("copydir: ", true, [&](const auto& progress) {
      return Tarnix::Core::CopyDir(from, to, progress);
    });
    if (!copied) Fail(to, "the copy did not complete");
  });

  auto path = std::make_shared<std::string>();
  auto extension = std::make_shared<std::string>();
  auto isDirectory = std::make_shared<bool>(false);
  auto* freename = app.add_subcommand("freename", "Print a free, valid file name for a new output file");
  freename->add_option("PATH", *path, "Wanted file path (or directory, with --dir)")->required();
  freename->add_option("EXT", *extension, "Extension of the new file, e.g. mp4")->required();
  freename->add_flag("--dir", *isDirectory, "PATH is a directory: number files named (1), (2), ... in it");
  freename->footer("A PATH that ends in '/', '.' or '..' names a directory, as with --dir.");
  freename->callback([path, extension, isDirectory] {
    ioPath result(*path);
    // "out/", "out/." and ".." name directories, never a file called "." or "..".
    const std::string last = result.filename().utf8string();
    const bool namesDirectory = *isDirectory || last == "." || last == "..";
    try {
      Tarnix::Core::UpdateFilePathIfExist(nullptr, namesDirectory, *extension, &result);
    } catch (const utf8::not_enough_room&) {
      Fail(ioPath(*path), "no valid file name can be made here with extension '" + *extension + "'");
    }
    std::cout << Show(result) << '\n';
  });
}

}  // namespace lumfs
