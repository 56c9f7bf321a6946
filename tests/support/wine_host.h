// Tells a test program built for Windows whether it runs under Wine rather
// than Windows, so that a test can set aside a check where Wine is known to
// depart from the documented behaviour (each such place says how). Not a
// general platform probe: on other hosts the answer is always false.
#pragma once

namespace dravtest {

bool runningUnderWine();

}  // namespace dravtest
