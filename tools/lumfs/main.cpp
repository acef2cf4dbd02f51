// lumfs: every LumFilesystem subsystem from a shell.
//
// Exit status: 0 on success, 1 when an operation failed (with one line on
// standard error naming the path and the reason), 2 on bad usage.
#include "Command.h"
#include "Platform.h"

#include <glog/logging.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  google::InitGoogleLogging("lumfs");
  FLAGS_logtostderr = true;  // the library's own WARNING and ERROR records
  FLAGS_minloglevel = google::GLOG_WARNING;

  CLI::App app{"lumfs: file-system services of the LumFilesystem library from the command line", "lumfs"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Print help for every subcommand");
  app.set_version_flag("--version", "lumfs " LUMFS_VERSION, "Print the version of lumfs and the library");
  lumfs::AddCopyCommand(app);
  lumfs::AddWatchCommand(app);
  lumfs::AddCacheCommands(app);
  lumfs::AddShellCommands(app);
  lumfs::AddJunctionCommands(app);
  lumfs::AddDirectoryCommands(app);

  const std::vector<std::string> arguments = lumfs::PrepareCommandLine(argc, argv);
  std::vector<const char*> words;
  for (const std::string& argument : arguments) words.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(words.size()), words.data());
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  } catch (const lumfs::CommandError& e) {
    std::cerr << "lumfs: " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "lumfs: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
