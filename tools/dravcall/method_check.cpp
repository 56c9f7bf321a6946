#include "method_check.h"

#include <drav/common/log_field.h>
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
// `list`: the one parameter is a list ("Int... ids"), of any number of values.
bool parametersOf(const std::string& line, const std::string& method, std::vector<Parameter>& parameters,
                  bool& anyValues, bool& list) {
  if (line.compare(0, method.size() + 1, method + "(") != 0) return false;
  const std::size_t end = line.find(')', method.size());
  if (end == std::string::npos) return false;
  const std::string items = line.substr(method.size() + 1, end - method.size() - 1);
  anyValues = items == "any values";
  std::istringstream stream(items);
  for (std::string item; !anyValues && std::getline(stream, item, ',');) {
    item.erase(0, item.find_first_not_of(' '));
    std::string kind = item.substr(0, item.find(' '));
    list = kind.size() > 3 && kind.compare(kind.size() - 3, 3, "...") == 0;
    if (list) kind.resize(kind.size() - 3);
    Parameter p;
    p.text = item;
    p.kind = kindNamed(kind);
    parameters.push_back(p);
  }
  return true;
}

// The most of the server's declaration, and of one parameter's, a refusal shows.
constexpr std::size_t kShownDeclaration = 256;
constexpr std::size_t kShownParameter = 128;

// The server wrote the description: what of it a refusal shows is escaped and cut.
std::string shown(const std::string& text, std::size_t limit) { return DRAV::detail::escapeShownText(text, limit); }

std::string misfit(const std::string& declared, std::size_t value, const DRAVVar& v, std::size_t parameter,
                   const std::string& text) {
  return shown(declared, kShownDeclaration) + ": value " + std::to_string(value) + " (" +
         DRAVTyped::kindName(v.getType()) + ") does not fit parameter " + std::to_string(parameter) + " (" +
         shown(text, kShownParameter) + ")";
}

}  // namespace

std::string checkAgainstDescription(const std::string& description, const std::string& method, const DRAVArgs& values) {
  std::istringstream lines(description);
  for (std::string line; std::getline(lines, line);) {
    std::vector<Parameter> parameters;
    bool anyValues = false, list = false;
    if (!parametersOf(line, method, parameters, anyValues, list)) continue;
    if (anyValues) return "";
    const std::string declared = line.substr(0, line.find(')') + 1);
    if (list) {
      for (std::size_t i = 0; i < values.size(); ++i)
        if (!DRAVTyped::fitsKind(parameters[0].kind, *values.getArgs()[i]))
          return misfit(declared, i, *values.getArgs()[i], 0, parameters[0].text);
      return "";
    }
    if (values.size() != parameters.size())
      return shown(declared, kShownDeclaration) + " takes " + std::to_string(parameters.size()) + " values, not " +
             std::to_string(values.size());
    for (std::size_t i = 0; i < parameters.size(); ++i)
      if (!DRAVTyped::fitsKind(parameters[i].kind, *values.getArgs()[i]))
        return misfit(declared, i, *values.getArgs()[i], i, parameters[i].text);
    return "";
  }
  return "";
}

}  // namespace dravtools
