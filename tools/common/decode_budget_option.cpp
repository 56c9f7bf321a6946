#include "decode_budget_option.h"

#include <cctype>

namespace dravtools {

OverBudget::OverBudget(std::uint64_t limit)
    : std::runtime_error("over the budget of " + std::to_string(limit) + " bytes (" + kDecodeBudgetOption +
                         " to raise it)") {}

bool parseDecodeBudget(const std::string& text, std::uint64_t& bytes) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (value == 0) return false;
  bytes = value;
  return true;
}

}  // namespace dravtools
