// lumfs cache key|put|find|remove|clean, and lumfs cache-root.
#include "Command.h"
#include "ProgressLine.h"

#include <ctime>
#include <iostream>
#include <limits>
#include <memory>

namespace lumfs {

namespace {

using Tarnix::ioPath;
using Tarnix::Core::AbstractFileCache;

struct CacheOptions {
  std::string root;
  std::string key;
  std::string file;
  long long time = 0;  // 0: now
  bool flat = false;
  unsigned long long limit = 0;
};

// Opening a hashed cache never cleans it here: the budget is unlimited.
std::unique_ptr<AbstractFileCache> OpenCache(const CacheOptions& options) {
  const ioPath root(options.root);
  if (!options.flat && options.key.size() < 4) Fail(root, "a hashed-cache key needs at least 4 characters");
  if (options.flat) return std::make_unique<Tarnix::Core::FlatFileCache>(root);
  return std::make_unique<Tarnix::Core::FileCache>(root, std::numeric_limits<unsigned long long>::max());
}

void AddRootAndKey(CLI::App* command, CacheOptions& options) {
  command->add_option("ROOT", options.root, "Cache root directory")->required();
  command->add_option("KEY", options.key, "Cache key (use 'lumfs cache key TEXT' to derive one)")->required();
  command->add_flag("--flat", options.flat, "The flat cache: one file per key directly in ROOT");
}

}  // namespace

void AddCacheCommands(CLI::App& app) {
  auto* cache = app.add_subcommand("cache", "Put, find and remove files in a file cache, and clean it");
  cache->require_subcommand(1);
  auto options = std::make_shared<CacheOptions>();

  auto* key = cache->add_subcommand("key", "Print the cache key of a text (32 hexadecimal digits)");
  auto text = std::make_shared<std::string>();
  key->add_option("TEXT", *text, "The text that identifies the content")->required();
  key->callback([text] { std::cout << AbstractFileCache::MakeCacheKey(*text) << '\n'; });

  auto* put = cache->add_subcommand("put", "Move FILE into the cache under KEY");
  AddRootAndKey(put, *options);
  put->add_option("FILE", options->file, "The file to move in (it no longer exists afterwards)")->required();
  AddWholeNumber(put, "--time", &options->time, 1LL, std::numeric_limits<long long>::max(),
                 "Time stamp of the cached file, seconds since 1970 (default: now)");
  put->callback([options] {
    const ioPath source(options->file);
    RequireExisting(source);
    const long long time = options->time ? options->time : static_cast<long long>(std::time(nullptr));
    const auto cache = OpenCache(*options);
    if (!cache->PutRecord(options->key, source, time)) Fail(source, "could not be put into the cache");
    std::cout << Show(cache->FindRecord(options->key).path) << '\n';
  });

  auto* find = cache->add_subcommand("find", "Print the cached file of KEY and its time stamp");
  AddRootAndKey(find, *options);
  find->callback([options] {
    RequireExisting(ioPath(options->root));  // a lookup must not create the cache
    const auto record = OpenCache(*options)->FindRecord(options->key);
    if (record.path.empty()) Fail(ioPath(options->root), "no cached file for key " + options->key);
    std::cout << Show(record.path) << '\t' << record.timestamp << '\n';
  });

  auto* remove = cache->add_subcommand("remove", "Remove the cached file of KEY");
  AddRootAndKey(remove, *options);
  remove->callback([options] {
    RequireExisting(ioPath(options->root));
    const auto cache = OpenCache(*options);
    auto record = cache->FindRecord(options->key);
    if (record.path.empty()) Fail(ioPath(options->root), "no cached file for key " + options->key);
    record.readLock.reset();  // our own lookup must not keep the file
    if (cache->RemoveRecord(record)) Fail(record.path, "could not be removed (in use?)");
    std::cout << "removed " << Show(record.path) << '\n';
  });

  auto* clean = cache->add_subcommand("clean", "Apply a size budget to a hashed cache");
  clean->add_option("ROOT", options->root, "Cache root directory")->required();
  clean->add_option_function<std::string>(
      "LIMIT", [options](const std::string& text) { options->limit = ParseSize(text, "LIMIT"); },
      "Budget: bytes, or a size with K, M or G (powers of 1024), e.g. 512M or 1.5G")
      ->type_name("SIZE")
      ->required();
  clean->footer("When the files below ROOT exceed LIMIT, every file not in use is removed.");
  clean->callback([options] {
    const ioPath root(options->root);
    RequireExisting(root);
    const unsigned long long limit = options->limit;
    // One walk: the budget's own count is what is printed.
    ProgressLine line(StandardErrorIsTerminal());
    const auto report = Tarnix::Core::ApplyCacheBudget(root, limit, [&](const Tarnix::Core::CacheBudgetReport& soFar) {
      if (!line.Due()) return;
      line.Draw("cache clean: counted " + std::to_string(soFar.countedFiles) + " files, " +
                FormatBytes(soFar.countedBytes) + "; removed " + std::to_string(soFar.removedFiles) + " files, " +
                FormatBytes(soFar.removedBytes));
    });
    line.Clear();
    std::cout << "counted " << report.countedFiles << " files, " << FormatBytes(report.countedBytes) << " (limit "
              << FormatBytes(limit) << "); removed " << report.removedFiles << " files, "
              << FormatBytes(report.removedBytes) << "; " << report.countedFiles - report.removedFiles
              << " files remain";
    if (report.keptFiles != 0) std::cout << " (" << report.keptFiles << " could not be removed)";
    std::cout << '\n';
  });

  auto* root = app.add_subcommand("cache-root", "Print the user's cache root directory");
  root->callback([] {
    const ioPath path = Tarnix::Core::GetSystemCacheRoot();
    if (path.empty()) throw CommandError("no cache root: neither XDG_CACHE_HOME nor a home directory is set");
    std::cout << Show(path) << '\n';
  });
}

}  // namespace lumfs
