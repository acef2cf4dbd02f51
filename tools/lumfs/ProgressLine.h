// The status line of a long lumfs subcommand on standard error: redrawn in
// place on a terminal, at most four times a second (the first report is drawn
// at once), and absent otherwise; then one summary line, on a terminal or not.
#pragma once

#include <chrono>
#include <string>

namespace lumfs {

class ProgressLine {
 public:
  explicit ProgressLine(bool terminal) : terminal_(terminal) {}

  // Whether a report now would be drawn; cheap enough to ask once per entry.
  bool Due() {
    if (!terminal_) return false;
    const auto now = Clock::now();
    if (drawn_ && now - lastDraw_ < kInterval) return false;
    drawn_ = true;
    lastDraw_ = now;
    return true;
  }

  // Redraws the line with `text` (after Due() said so).
  void Draw(const std::string& text) const;

  // Ends the line with `summary`, replacing what was drawn.
  void Finish(const std::string& summary) const;

  // Erases what was drawn, for a summary written elsewhere.
  void Clear() const;

  // Seconds since the line was made.
  double Seconds() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kInterval{250};

  const bool terminal_;
  const Clock::time_point started_ = Clock::now();
  Clock::time_point lastDraw_{};
  bool drawn_ = false;
};

// "0.21 s", "12.5 s", "125 s".
std::string FormatSeconds(double seconds);

// "3.2 MiB/s" or "1250 entries/s" from an amount and the seconds it took;
// empty when no time could be measured.
std::string FormatRate(double amount, double seconds, bool bytes);

}  // namespace lumfs
