// The usage text of the "-DRAV..." options, for programs that print one
// (for --help). A constant: it works before and without initialisation.
// The five "-DRAVsec_..." names it lists are unknown to the option parser,
// which ignores them like any other unknown word.
#pragma once

#include <drav/export.h>

#include <string>

namespace DRAV {

// The usage text of the "-DRAV..." options, one option a line.
DRAV_EXPORT std::string getHelpMessage();

}  // namespace DRAV
