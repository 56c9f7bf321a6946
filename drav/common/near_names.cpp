#include <drav/common/near_names.h>

#include <algorithm>
#include <vector>

namespace DRAV {
namespace detail {
namespace {

// Longer names are no slip of the keyboard, and the distance costs their
// product in steps: the file's keys may be long.
constexpr std::size_t kLongestHinted = 64;

// Edits from a to b, swaps of neighbours counting one (optimal string alignment).
std::size_t editDistance(const std::string& a, const std::string& b) {
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  for (std::size_t i = 0; i <= a.size(); ++i) d[i * width] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t best = std::min({d[(i - 1) * width + j] + 1, d[i * width + j - 1] + 1,
                                   d[(i - 1) * width + j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        best = std::min(best, d[(i - 2) * width + j - 2] + 1);
      d[i * width + j] = best;
    }
  return d[a.size() * width + b.size()];
}

}  // namespace

std::string nearestName(const std::string& given, const std::vector<std::string>& known) {
  if (given.empty() || given.size() > kLongestHinted) return "";
  const std::size_t allowed = std::max<std::size_t>(1, given.size() / 3);
  std::string nearest;
  std::size_t nearestDistance = allowed + 1;
  for (const std::string& name : known) {
    if (name == given) return "";
    const std::size_t distance = editDistance(given, name);
    if (distance < nearestDistance) {
      nearest = name;
      nearestDistance = distance;
    }
  }
  return nearest;
}

std::string didYouMean(const std::string& given, const std::vector<std::string>& known) {
  const std::string nearest = nearestName(given, known);
  return nearest.empty() ? "" : " (did you mean \"" + nearest + "\"?)";
}

}  // namespace detail
}  // namespace DRAV
