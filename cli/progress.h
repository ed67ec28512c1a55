// The download progress display: a bar redrawn in place on a terminal, plain
// periodic lines otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>

namespace quillet_cli {

struct ProgressSample {
  uint64_t done = 0;
  int64_t total = -1;  // -1 while unknown
  double bytesPerSecond = 0;
};

std::string formatBytes(uint64_t bytes);     // "512 B", "1.5 KiB", "12.3 MiB"
std::string formatDuration(double seconds);  // "0:07", "12:34", "1:02:03"
// One line of exactly `width` columns at most: bar, bytes, rate and ETA,
// after `label` when there is one (a job's "2/5 files").
std::string renderBar(const ProgressSample& sample, int width, const std::string& label = {});
// A line for logs and pipes.
std::string renderPlainLine(const ProgressSample& sample, const std::string& label = {});

class ProgressReporter {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressReporter(std::FILE* out, bool terminal, int width);

  // Called as often as the caller likes; draws at most ten times a second on a
  // terminal and once a second otherwise. The rate is measured from the
  // updates unless the caller knows it better (bytesPerSecond >= 0).
  void update(uint64_t done, int64_t total, Clock::time_point now = Clock::now(), double bytesPerSecond = -1);
  // Draws the final state and ends the line.
  void finish(uint64_t done, int64_t total, Clock::time_point now = Clock::now());
  // Text drawn before the bar or line from the next draw on.
  void setLabel(std::string label) { label_ = std::move(label); }

 private:
  ProgressSample sample(uint64_t done, int64_t total, Clock::time_point now);
  void draw(const ProgressSample& sample);

  std::FILE* out_;
  bool terminal_;
  int width_;
  Clock::time_point started_;
  Clock::time_point lastDraw_{};
  bool drawn_ = false;
  std::string label_;
  std::deque<std::pair<Clock::time_point, uint64_t>> window_;  // recent samples for the rate
};

}  // namespace quillet_cli
