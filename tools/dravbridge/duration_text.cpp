#include "duration_text.h"

namespace dravbridge {
namespace {

constexpr std::uint64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;
// More digits would pass what the count holds once multiplied by an hour.
constexpr std::size_t kLongestCount = 12;

bool isCount(const std::string& text) {
  return !text.empty() && text.size() <= kLongestCount && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<std::chrono::milliseconds> parseDuration(const std::string& text) {
  const std::size_t digits = text.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos || !isCount(text.substr(0, digits))) return std::nullopt;
  const std::string unit = text.substr(digits);
  const std::uint64_t count = std::stoull(text.substr(0, digits));
  if (unit == "ms") return std::chrono::milliseconds(count);
  if (unit == "s") return std::chrono::milliseconds(count * kSecond);
  if (unit == "m") return std::chrono::milliseconds(count * kMinute);
  if (unit == "h") return std::chrono::milliseconds(count * kHour);
  return std::nullopt;
}

std::string spellDuration(std::uint64_t milliseconds) {
  if (milliseconds != 0 && milliseconds % kHour == 0) return std::to_string(milliseconds / kHour) + "h";
  if (milliseconds != 0 && milliseconds % kMinute == 0) return std::to_string(milliseconds / kMinute) + "m";
  if (milliseconds % kSecond == 0) return std::to_string(milliseconds / kSecond) + "s";
  return std::to_string(milliseconds) + "ms";
}

std::string durationForm(std::uint64_t minMilliseconds, std::uint64_t maxMilliseconds) {
  return "a duration from " + spellDuration(minMilliseconds) + " to " + spellDuration(maxMilliseconds) +
         " such as \"30s\" or \"500ms\"";
}

std::string unitHint(const std::string& refused) {
  return isCount(refused) ? " (with its unit: \"" + refused + "s\")" : "";
}

}  // namespace dravbridge
