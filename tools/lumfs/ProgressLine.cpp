#include "ProgressLine.h"

#include "Command.h"

#include <iomanip>
#include <iostream>
#include <sstream>

namespace lumfs {

void ProgressLine::Draw(const std::string& text) const {
  // "\x1b[K" clears what a longer line left behind.
  std::cerr << '\r' << text << "\x1b[K" << std::flush;
}

void ProgressLine::Finish(const std::string& summary) const {
  if (terminal_) {
    std::cerr << '\r' << summary << "\x1b[K\n" << std::flush;
  } else {
    std::cerr << summary << '\n' << std::flush;
  }
}

void ProgressLine::Clear() const {
  if (drawn_) std::cerr << "\r\x1b[K" << std::flush;
}

std::string FormatSeconds(double seconds) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(seconds < 10 ? 2 : seconds < 100 ? 1 : 0) << seconds << " s";
  return out.str();
}

std::string FormatRate(double amount, double seconds, bool bytes) {
  if (seconds <= 0) return {};
  if (bytes) return FormatBytes(amount / seconds) + "/s";
  std::ostringstream out;
  out << std::fixed << std::setprecision(0) << amount / seconds << " entries/s";
  return out.str();
}

}  // namespace lumfs
