// lumfs copy SRC... DEST: CopyFiles with a progress bar; Ctrl-C cancels.
#include "Command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>

namespace lumfs {

namespace {

using Tarnix::ioPath;
using Clock = std::chrono::steady_clock;

// Draws progress on standard error: a bar redrawn in place on a terminal,
// plain periodic lines otherwise. Called on the copy's worker thread.
class ProgressBar final : public Tarnix::Core::IProgressController {
 public:
  explicit ProgressBar(bool terminal) : terminal_(terminal) {}

  std::uint32_t AddRef() const override { return count_.AddRefImpl(); }
  std::uint32_t GetRefCount() const override { return count_.GetRefCountImpl(); }
  std::uint32_t Release() const override {
    const std::uint32_t left = count_.ReleaseImpl();
    if (left == 0) delete this;
    return left;
  }

  void SetState(int state) override {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    if (state == static_cast<int>(Tarnix::Core::ProgressState::Started)) {
      started_ = Clock::now();
    } else {
      Draw(true);
    }
  }
  void SetTotal(unsigned long long totalBytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    total_ = totalBytes;
    Draw(true);
  }
  void SetDescription(const std::string&) override {}
  void Advance(long long bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ += static_cast<unsigned long long>(bytes);
    Draw(false);
  }
  bool IsCancelled() override { return Interrupted(); }

  int state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
  }

 private:
  ~ProgressBar() override = default;

  void Draw(bool force) {
    const auto now = Clock::now();
    const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (!force && now - lastDraw_ < interval) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0 ? done_ / seconds : 0;
    const double fraction = total_ ? static_cast<double>(done_) / total_ : 1.0;
    std::ostringstream line;
    if (terminal_) {
      constexpr int kWidth = 30;
      const int filled = static_cast<int>(fraction * kWidth);
      line << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] ";
    } else {
      line << "copy: ";
    }
    line << static_cast<int>(fraction * 100) << "% " << FormatBytes(done_) << " / " << FormatBytes(total_) << ", "
         << FormatBytes(rate) << "/s";
    if (rate > 0 && done_ < total_) line << ", " << static_cast<long long>((total_ - done_) / rate) << " s left";
    line << (terminal_ ? "   " : "\n");
    const bool finished = state_ > static_cast<int>(Tarnix::Core::ProgressState::Started);
    if (finished && terminal_) line << '\n';
    std::cerr << line.str() << std::flush;
  }

  const bool terminal_;
  mutable Tarnix::RefCountImpl count_;
  mutable std::mutex mutex_;
  int state_ = 0;                  // guarded by mutex_
  unsigned long long total_ = 0;   // guarded by mutex_
  unsigned long long done_ = 0;    // guarded by mutex_
  Clock::time_point started_ = Clock::now();
  Clock::time_point lastDraw_{};
};

// The pairs to copy: one file to a file or into a directory, or several files
// into an existing directory.
std::vector<std::pair<ioPath, ioPath>> Plan(const std::vector<std::string>& sources, const ioPath& destination) {
  const bool intoDirectory = ioPath::is_directory(destination);
  if (sources.size() > 1 && !intoDirectory) Fail(destination, "not a directory (copying several files)");
  std::vector<std::pair<ioPath, ioPath>> files;
  for (const std::string& text : sources) {
    const ioPath source(text);
    RequireExisting(source);
    if (!ioPath::is_regular_file(source)) Fail(source, "not a regular file");
    files.emplace_back(source, intoDirectory ? destination / source.filename() : destination);
  }
  if (!intoDirectory && !ioPath::is_directory(destination.parent_path().empty() ? ioPath(".")
                                                                               : destination.parent_path())) {
    Fail(destination.parent_path(), "no such directory");
  }
  return files;
}

// Names the first pair that did not arrive whole.
[[noreturn]] void ReportFailure(const std::vector<std::pair<ioPath, ioPath>>& files) {
  for (const auto& [source, destination] : files) {
    if (!Tarnix::Core::FileExists(source)) Fail(source, "disappeared during the copy");
    if (!Tarnix::Core::FileExists(destination) || destination.file_size() != source.file_size()) {
      Fail(destination, "could not be written from " + Show(source));
    }
  }
  throw CommandError("copy failed");
}

}  // namespace

void AddCopyCommand(CLI::App& app) {
  auto* command = app.add_subcommand("copy", "Copy a file, or several files into a directory, with progress");
  auto sources = std::make_shared<std::vector<std::string>>();
  command->add_option("paths", *sources, "SRC... DEST")->required()->expected(2, -1);
  command->footer("Ctrl-C cancels the copy and removes the partly written file.");
  command->callback([sources] {
    const ioPath destination(sources->back());
    std::vector<std::string> from(sources->begin(), sources->end() - 1);
    const auto files = Plan(from, destination);
    CatchInterrupts();
    boost::intrusive_ptr<ProgressBar> bar(new ProgressBar(::isatty(STDERR_FILENO) == 1));
    const bool copied = Tarnix::Core::CopyFiles(files, bar, true);
    if (copied) return;
    if (bar->state() == static_cast<int>(Tarnix::Core::ProgressState::Cancelled)) {
      for (const auto& pair : files) {
        if (!Tarnix::Core::FileExists(pair.second)) Fail(pair.second, "copy cancelled; the partly written file was removed");
      }
      throw CommandError("copy cancelled");
    }
    ReportFailure(files);
  });
}

}  // namespace lumfs
