#include "method_check.h"

#include <drav/typed/value_kinds.h>

#include <sstream>
#include <vector>

namespace dravtools {

namespace {

struct Parameter {
  unsigned long kind = 0;
  std::string text;  // "String name", as declared
};

// The kind a name in the description stands for; Empty for a name unknown here.
unsigned long kindNamed(const std::string& name) {
  for (unsigned long kind = DRAVVar::Int; kind <= DRAVVar::TypedObject; ++kind)
    if (DRAVTyped::kindName(kind) == name) return kind;
  return DRAVVar::Empty;
}

// False when `line` does not declare `method` with a list of parameters.
bool parametersOf(const std::string& line, const std::string& method, std::vector<Parameter>& parameters,
                  bool& anyValues) {
  if (line.compare(0, method.size() + 1, method + "(") != 0) return false;
  const std::size_t end = line.find(')', method.size());
  if (end == std::string::npos) return false;
  const std::string list = line.substr(method.size() + 1, end - method.size() - 1);
  anyValues = list == "any values";
  std::istringstream items(list);
  for (std::string item; !anyValues && std::getline(items, item, ',');) {
    item.erase(0, item.find_first_not_of(' '));
    Parameter p;
    p.text = item;
    p.kind = kindNamed(item.substr(0, item.find(' ')));
    parameters.push_back(p);
  }
  return true;
}

}  // namespace

std::string checkAgainstDescription(const std::string& description, const std::string& method, const DRAVArgs& values) {
  std::istringstream lines(description);
  for (std::string line; std::getline(lines, line);) {
    std::vector<Parameter> parameters;
    bool anyValues = false;
    if (!parametersOf(line, method, parameters, anyValues)) continue;
    if (anyValues) return "";
    const std::string declared = line.substr(0, line.find(')') + 1);
    if (values.size() != parameters.size())
      return declared + " takes " + std::to_string(parameters.size()) + " values, not " +
             std::to_string(values.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      const DRAVVar& value = *values.getArgs()[i];
      if (!DRAVTyped::fitsKind(parameters[i].kind, value))
        return declared + ": value " + std::to_string(i) + " (" + DRAVTyped::kindName(value.getType()) +
               ") does not fit parameter " + std::to_string(i) + " (" + parameters[i].text + ")";
    }
    return "";
  }
  return "";
}

}  // namespace dravtools
