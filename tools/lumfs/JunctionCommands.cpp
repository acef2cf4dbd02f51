// lumfs junction create|show|remove.
#include "Command.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace lumfs {

using Tarnix::ioPath;
using Tarnix::Core::Junction;

namespace {

// The link itself must exist; its target may be missing.
void RequireLink(const Junction& junction) {
  if (!junction.exists()) Fail(junction.path(), std::strerror(ENOENT));
}

}  // namespace

void AddJunctionCommands(CLI::App& app) {
  auto* junction = app.add_subcommand("junction", "Create, show and remove junctions (links to directories)");
  junction->require_subcommand(1);
  auto link = std::make_shared<std::string>();
  auto target = std::make_shared<std::string>();

  auto* create = junction->add_subcommand("create", "Make LINK a junction to the directory TARGET");
  create->add_option("LINK", *link, "Where the junction goes")->required();
  create->add_option("TARGET", *target, "The directory it leads to")->required();
  create->callback([link, target] {
    Junction junction{ioPath(*link)};
    if (!junction.create(ioPath(*target))) Fail(ioPath(*link), "junction could not be created (see the log line above)");
  });

  auto* show = junction->add_subcommand("show", "Print the target of a junction and whether it exists");
  show->add_option("LINK", *link, "The junction")->required();
  show->callback([link] {
    const Junction junction{ioPath(*link)};
    RequireLink(junction);
    if (!junction.isJunction()) Fail(junction.path(), "not a junction");
    std::cout << Show(junction.targetPath()) << (junction.targetExists() ? "" : " (missing)") << '\n';
  });

  auto* remove = junction->add_subcommand("remove", "Remove a junction, never its target");
  remove->add_option("LINK", *link, "The junction")->required();
  remove->callback([link] {
    Junction junction{ioPath(*link)};
    RequireLink(junction);
    if (!junction.isJunction()) Fail(junction.path(), "not a junction");
    if (!junction.remove()) Fail(junction.path(), "could not be removed");
  });
}

}  // namespace lumfs
