// Method and call forms the typed layer refuses at compile time, one case
// per value of CASE (0: the forms it takes, which must compile). Each refused
// case must fail with exactly one error, its static_assert line; the
// expected lines are in check_refusals.cmake.
#include <drav/typed/bridge_client.h>
#include <drav/typed/method_table.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct Members {
  std::string byReference(const std::string& s) const { return s; }
  std::string byValue(std::string s) noexcept { return s; }
  std::size_t view(std::string_view s) const { return s.size(); }
  void changes(std::string& s) { s += "!"; }
};

struct Derived : Members {};

void forms(DRAVMethodTable& table, DRAVBridgeClient& client) {
  Members members;
  Derived derived;
  (void)table;
  (void)client;
  (void)members;
  (void)derived;
#if CASE == 0
  table.method("byReference", &members, &Members::byReference);
  table.method("byValue", &members, &Members::byValue);
  table.method("view", &members, &Members::view);
  table.method("derived", &derived, &Members::byReference);
  const Members& constant = members;
  table.method("constant", &constant, &Members::view);
  table.method("list", [](std::vector<int> v) { return std::vector<std::string>(v.size()); });
  table.method("wide", [](DRAVInt64 v) { return DRAVUInt64{static_cast<std::uint64_t>(v.value)}; });
  client.call<std::vector<std::string>>("list", std::vector<int>{1, 2});
  client.call<DRAVInt64>("wide", DRAVInt64{1});
#elif CASE == 1
  table.method("changes", &members, &Members::changes);
#elif CASE == 2
  table.method("wide", [](long long v) { return v; });
#elif CASE == 3
  table.method("wide", []() -> unsigned long long { return 1; });
#elif CASE == 4
  table.method("pointer", [](const char* text) { return std::string(text); });
#elif CASE == 5
  table.method("map", [](const std::map<int, int>& m) { return static_cast<int>(m.size()); });
#elif CASE == 6
  table.method("two lists", [](const std::vector<int>& a, int b) { return static_cast<int>(a.size()) + b; });
#elif CASE == 7
  table.method("generic", [](auto v) { return v; });
#elif CASE == 8
  client.call<long long>("wide");
#elif CASE == 9
  client.call<int>("wide", 5LL);
#elif CASE == 10
  client.call<std::string_view>("text");
#elif CASE == 11
  table.method("tuple", [] { return std::make_tuple(1, std::vector<int>{}); });
#endif
}
