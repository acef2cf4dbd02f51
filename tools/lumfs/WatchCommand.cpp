// lumfs watch DIR: one line per change until Ctrl-C.
#include "Command.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>

namespace lumfs {

namespace {

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  std::ostringstream out;
  out << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis;
  return out.str();
}

}  // namespace

void AddWatchCommand(CLI::App& app) {
  auto* command = app.add_subcommand("watch", "Print a line whenever something changes below a directory");
  auto directory = std::make_shared<std::string>();
  auto kind = std::make_shared<std::string>("modified");
  command->add_option("DIR", *directory, "Directory to watch, with everything below it")->required();
  command->add_option("--kind", *kind, "modified: file contents written; renamed: a file got a new name")
      ->check(CLI::IsMember({"modified", "renamed"}));
  command->callback([directory, kind] {
    const Tarnix::ioPath path(*directory);
    RequireExisting(path);
    if (!Tarnix::ioPath::is_directory(path)) Fail(path, "not a directory");
    const auto event = *kind == "renamed" ? Tarnix::Core::WatchEvent::NameChanged : Tarnix::Core::WatchEvent::Modified;
    const std::string label = *kind;
    auto lines = std::make_shared<std::mutex>();
    CatchInterrupts();
    auto factory = Tarnix::Core::CreateDirectoryWatcherFactory();
    if (!factory) throw CommandError("cannot create a watcher factory");
    auto watcher = factory->CreateWatcher(path, event, [label, lines] {
      std::lock_guard<std::mutex> lock(*lines);
      std::cout << Now() << ' ' << label << std::endl;
    });
    if (!watcher) Fail(path, "cannot be watched (see the log line above)");
    std::cerr << "lumfs: watching " << Show(path) << " for " << label << " changes; Ctrl-C stops" << std::endl;
    WaitForInterrupt();
  });
}

}  // namespace lumfs
