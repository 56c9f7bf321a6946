#include "progress_meter.h"

#include <cstdio>

namespace dravtools {

namespace {

constexpr int kBarWidth = 20;
constexpr std::chrono::milliseconds kRedrawPause(100);

std::string amount(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

ProgressMeter::ProgressMeter(std::ostream& out, std::string label, bool enabled)
    : out_(out), label_(std::move(label)), enabled_(enabled) {}

ProgressMeter::~ProgressMeter() {
  if (drawn_) out_ << '\n' << std::flush;
}

void ProgressMeter::update(std::uint64_t done) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  const bool complete = total_ && done >= total_;
  if (drawn_ && !complete && now - last_ < kRedrawPause) return;
  last_ = now;
  drawn_ = true;
  out_ << '\r' << line(label_, done, total_) << "\x1b[K" << std::flush;
}

std::string ProgressMeter::line(const std::string& label, std::uint64_t done, std::uint64_t total) {
  char head[16];
  std::snprintf(head, sizeof head, "%-8s ", label.c_str());
  std::string text = head;
  if (total == 0) return text + amount(done);
  const std::uint64_t shown = done < total ? done : total;
  const int filled = static_cast<int>(shown * kBarWidth / total);
  const int percent = static_cast<int>(shown * 100 / total);
  char share[8];
  std::snprintf(share, sizeof share, "%3d%%", percent);
  return text + "[" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] " + share + "  " +
         amount(done) + " / " + amount(total);
}

}  // namespace dravtools
