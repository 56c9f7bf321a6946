// "Did you mean" for refusals of a name (dravbridge's options and keys, the
// host's paths): the known name nearest to one given, when it is near
// enough to be a slip of the keyboard.
#pragma once

#include <string>
#include <vector>

namespace DRAVHost {

// The known name that `given` becomes with the fewest single-letter edits
// (a letter added, dropped, changed, or two neighbours swapped), when they
// are at most a third of its letters (at least one); "" when none is that
// near, or `given` is one of them, or longer than any name worth a hint.
std::string nearestName(const std::string& given, const std::vector<std::string>& known);

// " (did you mean \"NAME\"?)" for the nearest name, or "".
std::string didYouMean(const std::string& given, const std::vector<std::string>& known);

}  // namespace DRAVHost
