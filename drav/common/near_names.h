// "Did you mean" for refusals of a name the user gave (a program option, a
// configuration key, a plugin's file): the known name nearest to it, when
// it is near enough to be a slip of the keyboard.
#pragma once

#include <drav/export.h>

#include <string>
#include <vector>

namespace DRAV {
namespace detail {

// The known name that `given` becomes with the fewest single-letter edits
// (a letter added, dropped, changed, or two neighbours swapped), when they
// are at most a third of its letters (at least one); "" when none is that
// near, or `given` is one of them, or longer than any name worth a hint.
DRAV_EXPORT std::string nearestName(const std::string& given, const std::vector<std::string>& known);

// " (did you mean \"NAME\"?)" for the nearest name, or "".
DRAV_EXPORT std::string didYouMean(const std::string& given, const std::vector<std::string>& known);

}  // namespace detail
}  // namespace DRAV
