// Waiting on a condition with a deadline, never a bare sleep.
#pragma once

#include <chrono>
#include <thread>

namespace Tarnix::Test {

constexpr std::chrono::seconds kGenerousDeadline{10};

// Polls `done` until it returns true or `deadline` passes; returns its last answer.
template <typename Predicate>
bool WaitUntil(Predicate&& done, std::chrono::milliseconds deadline = kGenerousDeadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace Tarnix::Test
