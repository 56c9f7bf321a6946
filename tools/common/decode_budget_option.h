// The tools' decode budget: how much memory decoding one body or answer may
// take (decompressed payloads, value storage, copied text), the option that
// raises it, and the failure that names both. A hostile body of 1 MB could
// otherwise decompress to 1 GB. Not the transport's download limit.
#pragma once

#include <drav/serialization/decode_budget.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dravtools {

// What a bridge host with its default settings lets one call's decoding
// take (call_memory_budget): what a host accepts, the tools decode. The
// tools' --help texts give the figure.
constexpr std::uint64_t kDefaultDecodeBudget = 64ull << 20;
constexpr const char kDecodeBudgetOption[] = "--decode-budget";

// Decoding needed more than the budget: "over the budget of N bytes
// (--decode-budget to raise it)".
class OverBudget : public std::runtime_error {
public:
  explicit OverBudget(std::uint64_t limit);
};

// Runs `decode`, which reads under `budget`; when the budget refused a
// charge, whatever the decoder threw becomes OverBudget. Other failures
// pass unchanged.
template <typename Decode>
void decodeUnder(const DRAVDecodeBudget& budget, Decode&& decode) {
  try {
    decode();
  } catch (const std::exception&) {
    if (budget.exceeded()) throw OverBudget(budget.limit());
    throw;
  }
}

// The option's value: a decimal byte count, at least 1. False for anything else.
bool parseDecodeBudget(const std::string& text, std::uint64_t& bytes);

}  // namespace dravtools
