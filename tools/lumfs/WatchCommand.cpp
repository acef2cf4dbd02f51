// lumfs watch DIR: one line per change until Ctrl-C: "TIME ACTION PATH", the
// path relative to DIR; with --kind, "TIME KIND" for each change of that kind.
#include "Command.h"
#include "Platform.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace lumfs {

namespace {

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm local = LocalTime(seconds);
  std::ostringstream out;
  out << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis;
  return out.str();
}

}  // namespace

// "added sub/f", "renamed new <- old", "overflow (changes were lost: rescan)".
std::string Describe(const Tarnix::Core::ChangeRecord& record) {
  using Tarnix::Core::ChangeAction;
  switch (record.action) {
    case ChangeAction::Added: return "added " + record.path;
    case ChangeAction::Removed: return "removed " + record.path;
    case ChangeAction::Modified: return "modified " + record.path;
    case ChangeAction::Renamed: return "renamed " + record.path + " <- " + record.oldPath;
    case ChangeAction::Overflow: return "overflow (changes were lost: rescan)";
  }
  return "changed " + record.path;
}

void AddWatchCommand(CLI::App& app) {
  auto* command = app.add_subcommand("watch", "Print a line whenever something changes below a directory");
  auto directory = std::make_shared<std::string>();
  auto kind = std::make_shared<std::string>();
  command->add_option("DIR", *directory, "Directory to watch, with everything below it")->required();
  command->add_option("--kind", *kind,
                      "Only one kind, without paths: modified (file contents written) or renamed (a file got a new "
                      "name)")
      ->check(CLI::IsMember({"modified", "renamed"}));
  command->footer("Without --kind: TIME ACTION PATH, ACTION one of added, removed, modified, renamed (NEW <- OLD).");
  command->callback([directory, kind] {
    const Tarnix::ioPath path(*directory);
    RequireExisting(path);
    if (!Tarnix::ioPath::is_directory(path)) Fail(path, "not a directory");
    auto lines = std::make_shared<std::mutex>();
    const auto print = [lines](const std::string& line) {
      std::lock_guard<std::mutex> lock(*lines);
      std::cout << Now() << ' ' << line << std::endl;
    };
    CatchInterrupts();
    std::unique_ptr<Tarnix::Core::IDirectoryWatcher> watcher;
    if (kind->empty()) {
      watcher = Tarnix::Core::CreateChangeWatcher(
          path, [print](const Tarnix::Core::ChangeRecord& record) { print(Describe(record)); });
    } else {
      const auto event =
          *kind == "renamed" ? Tarnix::Core::WatchEvent::NameChanged : Tarnix::Core::WatchEvent::Modified;
      auto factory = Tarnix::Core::CreateDirectoryWatcherFactory();
      if (!factory) throw CommandError("cannot create a watcher factory");
      watcher = factory->CreateWatcher(path, event, [print, label = *kind] { print(label); });
    }
    if (!watcher) Fail(path, "cannot be watched (see the log line above)");
    std::cerr << "lumfs: watching " << Show(path) << " for " << (kind->empty() ? std::string("all") : *kind)
              << " changes; Ctrl-C stops" << std::endl;
    WaitForInterrupt();
  });
}

}  // namespace lumfs
