// lumfs copy SRC... DEST: CopyFiles with a progress bar; Ctrl-C cancels.
#include "Command.h"

#include "Platform.h"
#include "ProgressLine.h"

#include <chrono>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
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

  // One line: the bar while the copy runs (redrawn in place on a terminal),
  // then the total, the time taken and the average rate once it has ended.
  // On a terminal every line ends by clearing what a longer one left behind.
  void Draw(bool force) {
    const auto now = Clock::now();
    const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (!force && now - lastDraw_ < interval) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    // A system that reports no progress (Wine) still copied all on success.
    const unsigned long long done = state_ == Tarnix::Core::ProgressState::Succeeded ? total_ : done_;
    const double rate = seconds > 0 ? done / seconds : 0;
    const double fraction = total_ ? static_cast<double>(done_) / total_ : 1.0;
    const int percent = static_cast<int>(fraction * 100);
    std::ostringstream line;
    if (terminal_) line << '\r';
    if (state_ > Tarnix::Core::ProgressState::Started) {
      line << "copy: ";
      if (state_ == Tarnix::Core::ProgressState::Succeeded) {
        line << "100% " << FormatBytes(done);
      } else {
        line << (state_ == Tarnix::Core::ProgressState::Cancelled ? "cancelled" : "failed") << " at " << percent << "%, "
             << FormatBytes(done_) << " of " << FormatBytes(total_);
      }
      line << " in " << FormatSeconds(seconds);
      if (seconds > 0) line << ", " << FormatBytes(rate) << "/s";
      line << (terminal_ ? "\x1b[K\n" : "\n");
    } else {
      if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        line << '[' << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] ";
      } else {
        line << "copy: ";
      }
      line << percent << "% " << FormatBytes(done_) << " / " << FormatBytes(total_) << ", " << FormatBytes(rate) << "/s";
      if (rate > 0 && done_ < total_) line << ", " << static_cast<long long>((total_ - done_) / rate) << " s left";
      line << (terminal_ ? "\x1b[K" : "\n");
    }
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
// into an existing directory. Anything that would stop a file is reported
// before a byte is copied.
std::vector<std::pair<ioPath, ioPath>> Plan(const std::vector<std::string>& sources, const ioPath& destination) {
  const bool intoDirectory = ioPath::is_directory(destination);
  if (sources.size() > 1 && !intoDirectory) Fail(destination, "not a directory (copying several files)");
  std::vector<std::pair<ioPath, ioPath>> files;
  for (const std::string& text : sources) {
    const ioPath source(text);
    files.emplace_back(source, intoDirectory ? destination / source.filename() : destination);
    if (const auto obstacle = FindCopyObstacle(files.back().first, files.back().second)) {
      Fail(obstacle->path, obstacle->reason);
    }
  }
  return files;
}

// Names the first file that did not arrive, and why.
[[noreturn]] void ReportFailure(const std::vector<std::pair<ioPath, ioPath>>& files, bool cancelled) {
  for (const auto& [source, destination] : files) {
    if (CopyArrived(source, destination)) continue;
    if (cancelled) Fail(destination, "copy cancelled; the partly written file was removed");
    if (const auto obstacle = FindCopyObstacle(source, destination)) Fail(obstacle->path, obstacle->reason);
    const ioPath directory = destination.parent_path().empty() ? ioPath(".") : destination.parent_path();
    if (LacksSpaceFor(directory, source.file_size())) Fail(destination, NoSpaceReason());
    Fail(destination, "writing the copy of " + Show(source) + " failed part-way; the partial file was removed");
  }
  Fail(files.back().second, cancelled ? "copy cancelled after the last file" : "the copy reported a failure");
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
    boost::intrusive_ptr<ProgressBar> bar(new ProgressBar(StandardErrorIsTerminal()));
    if (Tarnix::Core::CopyFiles(files, bar, true)) return;
    ReportFailure(files, bar->state() == Tarnix::Core::ProgressState::Cancelled);
  });
}

}  // namespace lumfs
