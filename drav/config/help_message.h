// The usage text of the "-DRAV..." options, for programs that print one
// (for --help). A constant: it works before and without initialisation.
// The five "-DRAVsec_..." names it lists are no options: initialisation
// refuses them like any other unknown word, naming the options that do
// what the text says (DRAVOptionParser::refusals).
#pragma once

#include <drav/export.h>

#include <string>

namespace DRAV {

// The usage text of the "-DRAV..." options, one option a line.
DRAV_EXPORT std::string getHelpMessage();

}  // namespace DRAV
