// Durations as dravbridge reads them, in its configuration file and on its
// command line alike: a whole number and one unit, "500ms", "30s", "15m",
// "8h". A bare number is refused, so that nobody has to guess its unit.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace dravbridge {

// The duration `text` spells, or nothing when it is no such spelling.
std::optional<std::chrono::milliseconds> parseDuration(const std::string& text);

// The shortest exact spelling: 90000 -> "90s", 1500 -> "1500ms".
std::string spellDuration(std::uint64_t milliseconds);

// What a setting of this range takes, for refusals:
// "a duration from 1ms to 1h such as \"30s\" or \"500ms\"".
std::string durationForm(std::uint64_t minMilliseconds, std::uint64_t maxMilliseconds);

// For a refused spelling that is a bare number: " (with its unit: \"30s\")";
// else "".
std::string unitHint(const std::string& refused);

}  // namespace dravbridge
