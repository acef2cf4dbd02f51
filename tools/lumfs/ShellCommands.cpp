// lumfs trash PATH..., lumfs attr PATH [flags].
#include "Command.h"

#include <iostream>

namespace lumfs {

using Tarnix::ioPath;
using Tarnix::Core::PathAttribute;

void AddShellCommands(CLI::App& app) {
  auto* trash = app.add_subcommand("trash", "Move files or directory trees to the trash");
  auto paths = std::make_shared<std::vector<std::string>>();
  trash->add_option("PATH", *paths, "What to move to the trash")->required();
  trash->callback([paths] {
    for (const std::string& text : *paths) RequireExisting(ioPath(text));
    for (const std::string& text : *paths) {
      if (!Tarnix::Core::MoveToTrash(ioPath(text))) Fail(ioPath(text), "could not be moved to the trash");
      std::cout << "trashed " << text << '\n';
    }
  });

  struct Flag {
    const char* name;
    PathAttribute bit;
    const char* help;
  };
  static const Flag kFlags[] = {
      {"--readonly", PathAttribute::ReadOnly, "Read-only: no one may write (clears every write bit)"},
      {"--hidden", PathAttribute::Hidden, "Hidden (no effect on Linux)"},
      {"--system", PathAttribute::System, "System (no effect on Linux)"},
      {"--archive", PathAttribute::Archive, "Archive (no effect on Linux)"},
      {"--temporary", PathAttribute::Temporary, "Temporary (no effect on Linux)"},
      {"--offline", PathAttribute::Offline, "Offline (no effect on Linux)"},
      {"--not-indexed", PathAttribute::NotContentIndexed, "Not content-indexed (no effect on Linux)"},
  };
  auto* attr = app.add_subcommand("attr", "Set a path's attributes to exactly the given set (none: normal)");
  auto path = std::make_shared<std::string>();
  auto chosen = std::make_shared<std::vector<bool>>(std::size(kFlags), false);
  attr->add_option("PATH", *path, "File or directory")->required();
  for (std::size_t i = 0; i < std::size(kFlags); ++i) {
    attr->add_flag_callback(kFlags[i].name, [chosen, i] { (*chosen)[i] = true; }, kFlags[i].help);
  }
  attr->callback([path, chosen] {
    const ioPath target(*path);
    RequireExisting(target);
    unsigned bits = 0;
    for (std::size_t i = 0; i < std::size(kFlags); ++i) {
      if ((*chosen)[i]) bits |= static_cast<unsigned>(kFlags[i].bit);
    }
    if (!Tarnix::Core::SetPathAttribute(target, static_cast<PathAttribute>(bits))) {
      Fail(target, "attributes could not be set");
    }
  });
}

}  // namespace lumfs
