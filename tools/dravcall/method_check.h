// Checking a call's values against a method table's description before the
// call is sent, so that a value that cannot fit is refused naming the
// parameter. The description is the text of the dravDescribe method, one
// line a method: "greet(String name) -> (String)"; a list parameter takes
// any number of values of its kind: "names(Int... ids) -> (String...)".
#pragma once

#include <drav/serialization/argument_list.h>

#include <string>

namespace dravtools {

// Empty when `values` fit `method` as `description` declares it (or when
// the description does not declare it, or declares that it takes any
// values); else why not, naming the method, the parameter and the value.
std::string checkAgainstDescription(const std::string& description, const std::string& method, const DRAVArgs& values);

}  // namespace dravtools
