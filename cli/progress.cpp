#include "progress.h"

#include <algorithm>
#include <cmath>

namespace quillet_cli {
namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(1);
constexpr auto kRateWindow = std::chrono::seconds(3);

std::string printf1(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string formatBytes(uint64_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) value /= 1024, ++unit;
  return printf1("%.1f ", value) + units[unit];
}

std::string formatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  auto total = static_cast<long>(std::lround(seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string renderBar(const ProgressSample& sample, int width, const std::string& label) {
  bool known = sample.total >= 0;
  std::string amount =
      formatBytes(sample.done) + " / " + (known ? formatBytes(static_cast<uint64_t>(sample.total)) : "unknown");
  std::string rate = formatBytes(static_cast<uint64_t>(std::max(0.0, sample.bytesPerSecond))) + "/s";
  std::string eta = "ETA --:--";
  if (known && sample.bytesPerSecond > 0 && static_cast<uint64_t>(sample.total) >= sample.done) {
    eta = "ETA " + formatDuration(static_cast<double>(static_cast<uint64_t>(sample.total) - sample.done) /
                                  sample.bytesPerSecond);
  }
  std::string percent =
      known && sample.total > 0
          ? printf1("%3.0f%%",
                    100.0 * static_cast<double>(std::min<uint64_t>(sample.done, static_cast<uint64_t>(sample.total))) /
                        static_cast<double>(sample.total))
          : (known ? std::string("100%") : std::string(" ?%"));
  std::string head = label.empty() ? std::string() : label + " ";
  std::string tail = " " + percent + "  " + amount + "  " + rate + "  " + eta;
  int barWidth = width - static_cast<int>(head.size() + tail.size()) - 2;
  if (barWidth < 5) return (head + tail.substr(1)).substr(0, static_cast<std::size_t>(std::max(0, width)));
  std::string bar(static_cast<std::size_t>(barWidth), ' ');
  if (known && sample.total > 0) {
    auto filled = static_cast<std::size_t>(
        static_cast<double>(barWidth) *
        static_cast<double>(std::min<uint64_t>(sample.done, static_cast<uint64_t>(sample.total))) /
        static_cast<double>(sample.total));
    std::fill(bar.begin(), bar.begin() + static_cast<long>(filled), '#');
  } else if (!known) {
    // No total: a marker that moves with the bytes, so the bar still shows life.
    auto position = static_cast<std::size_t>((sample.done / (256 * 1024)) % static_cast<uint64_t>(barWidth));
    bar[position] = '#';
  } else {
    std::fill(bar.begin(), bar.end(), '#');
  }
  return head + "[" + bar + "]" + tail;
}

std::string renderPlainLine(const ProgressSample& sample, const std::string& label) {
  std::string line = (label.empty() ? "" : label + ", ") + "downloaded " + std::to_string(sample.done) + " bytes";
  if (sample.total >= 0) {
    line += " of " + std::to_string(sample.total);
    if (sample.total > 0) {
      line += printf1(" (%.0f%%)", 100.0 * static_cast<double>(sample.done) / static_cast<double>(sample.total));
    }
  } else {
    line += " of unknown";
  }
  return line + ", " + formatBytes(static_cast<uint64_t>(std::max(0.0, sample.bytesPerSecond))) + "/s";
}

ProgressReporter::ProgressReporter(std::FILE* out, bool terminal, int width)
    : out_(out), terminal_(terminal), width_(width), started_(Clock::now()) {}

ProgressSample ProgressReporter::sample(uint64_t done, int64_t total, Clock::time_point now) {
  if (!window_.empty() && done < window_.back().second) window_.clear();  // restarted from 0
  window_.emplace_back(now, done);
  while (window_.size() > 2 && now - window_.front().first > kRateWindow) window_.pop_front();
  ProgressSample result;
  result.done = done;
  result.total = total;
  double seconds = std::chrono::duration<double>(now - window_.front().first).count();
  if (seconds > 0.05) result.bytesPerSecond = static_cast<double>(done - window_.front().second) / seconds;
  return result;
}

void ProgressReporter::update(uint64_t done, int64_t total, Clock::time_point now, double bytesPerSecond) {
  ProgressSample current = sample(done, total, now);
  if (bytesPerSecond >= 0) current.bytesPerSecond = bytesPerSecond;
  auto interval = terminal_ ? std::chrono::duration_cast<Clock::duration>(kTerminalInterval)
                            : std::chrono::duration_cast<Clock::duration>(kPlainInterval);
  if (drawn_ && now - lastDraw_ < interval) return;
  lastDraw_ = now;
  drawn_ = true;
  draw(current);
}

void ProgressReporter::finish(uint64_t done, int64_t total, Clock::time_point now) {
  ProgressSample current = sample(done, total, now);
  double seconds = std::chrono::duration<double>(now - started_).count();
  if (seconds > 0.05) current.bytesPerSecond = static_cast<double>(done) / seconds;  // average over the run
  draw(current);
  if (terminal_) std::fputc('\n', out_);
  std::fflush(out_);
}

void ProgressReporter::draw(const ProgressSample& current) {
  if (terminal_) {
    std::string line = renderBar(current, width_, label_);
    // Carriage return, the line, then clear whatever a longer earlier line left.
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
  } else {
    std::fprintf(out_, "%s\n", renderPlainLine(current, label_).c_str());
  }
  std::fflush(out_);
}

}  // namespace quillet_cli
