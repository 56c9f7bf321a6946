// A method's results against the call's budget: a method may return more
// than the call can hold (a list grown from a small call), and the table
// must refuse it while it turns the results into values, not once it has
// built them all beside the returned ones.
#include <drav/typed/method_table.h>

#include "support/fake_asp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

// An object of a fixed serialized size that counts how often it is serialized.
class Sized : public DRAVSerializable {
public:
  static constexpr unsigned long kBytes = 1000;
  static std::atomic<int> serialized;

  void writeObject(DRAVOutputStream& out) const override {
    ++serialized;
    const std::string bytes(kBytes, 'o');
    out.writeBytes(bytes.data(), kBytes);
  }
  void readObject(DRAVInputStream&) override {}
  unsigned long objectSize(DRAVDataTypedStream*) const override { return kBytes; }
};
std::atomic<int> Sized::serialized{0};

std::vector<unsigned char> noValues() {
  DRAVArgs none;
  DRAVDataOutputStream body;
  none.writeObject(body);
  return std::vector<unsigned char>(body.getBuffer(0), body.getBuffer(0) + body.size());
}

// Serves `method` of `table` with a call budget of `budget` bytes; the HTTP
// status of the refusal, or 0 when the call was answered.
unsigned serveUnder(const DRAVMethodTable& table, const std::string& method, std::uint64_t budget) {
  const std::vector<unsigned char> body = noValues();
  dravtest::FakeRequest request(body);
  dravtest::FakeResponse response;
  DRAVDecodeBudget decodeBudget(budget);
  DRAVTableCall call;
  call.methodName = method;
  call.argsSize = static_cast<std::uint32_t>(body.size());
  call.decodeBudget = &decodeBudget;
  try {
    table.serve(call, &request, &response);
  } catch (const DRAVBodyException& e) {
    return e.httpStatus();
  }
  return 0;
}

TEST(ResultBudgetAttack, ResultsPastTheBudgetAreRefusedBeforeTheyAreBuilt) {
  constexpr int kReturned = 2000;  // 2 MB of values for a call that may hold 100 kB
  DRAVMethodTable table("t");
  table.method("many", [] { return std::vector<Sized>(kReturned); });
  table.method("manyTexts", [] { return std::vector<std::string>(kReturned, std::string(Sized::kBytes, 't')); });
  table.method("oneText", [] { return std::string(kReturned * Sized::kBytes, 't'); });

  Sized::serialized = 0;
  EXPECT_EQ(serveUnder(table, "many", 100000), 413u);
  // At most what the budget holds is built before the refusal (not every value, held twice over).
  EXPECT_LE(Sized::serialized.load(), 100) << "values built before the call was refused";
  EXPECT_EQ(serveUnder(table, "manyTexts", 100000), 413u);
  EXPECT_EQ(serveUnder(table, "oneText", 100000), 413u);

  // Within the budget, the same forms are answered.
  DRAVMethodTable small("s");
  small.method("few", [] { return std::vector<Sized>(10); });
  small.method("text", [] { return std::string(Sized::kBytes, 't'); });
  EXPECT_EQ(serveUnder(small, "few", 100000), 0u);
  EXPECT_EQ(serveUnder(small, "text", 100000), 0u);
}

}  // namespace
