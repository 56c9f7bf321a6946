// Typed calls against a typed bridge served by dravbridge: every value kind
// in both directions, several results and none, each way a call fails,
// streamed answers and extra blobs, one client shared by many threads, and
// many asynchronous calls in flight.
#ifdef DRAV_TEST_PLUGINS

#include "plugins/typed_objects.h"
#include "program_runner.h"
#include "temp_folder.h"

#include <drav/typed/bridge_client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

using typedtest::Label;
using typedtest::Point;

class TypedCalls : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    host_ = new BackgroundProgram(DRAVBRIDGE_PROGRAM,
                                  {"--port", "0", "--bridge", std::string(DRAV_TEST_PLUGINS) + "/libtyped.so"});
    port_ = host_->waitForLine("dravbridge: listening on port ");
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  void SetUp() override { ASSERT_NE("", port_) << "dravbridge did not start"; }

  static std::string url(const std::string& path = "/bridges/typed") { return "http://127.0.0.1:" + port_ + path; }
  static DRAVClientSettings settings(unsigned connections) {
    DRAVClientSettings s;
    s.maxConnections = connections;
    return s;
  }

  static BackgroundProgram* host_;
  static std::string port_;
  DRAVBridgeClient typed_{"typed", Url(url())};
};

BackgroundProgram* TypedCalls::host_ = nullptr;
std::string TypedCalls::port_;

TEST_F(TypedCalls, EveryValueKindTravelsAsItsKindBothWays) {
  EXPECT_EQ(-41, typed_.call<int>("int", -42));
  EXPECT_EQ(4000000000u, typed_.call<unsigned int>("uint", 3999999999u));
  EXPECT_EQ(-32767, typed_.call<short>("short", short(-32768)));
  EXPECT_EQ(65535, typed_.call<unsigned short>("ushort", static_cast<unsigned short>(65534)));
  EXPECT_EQ(-2147483647L, typed_.call<long>("long", -2147483647L - 1));
  EXPECT_EQ(4294967295UL, typed_.call<unsigned long>("ulong", 4294967294UL));
  EXPECT_TRUE(typed_.call<bool>("bool", false));
  EXPECT_EQ('b', typed_.call<char>("char", 'a'));
  EXPECT_EQ(0, typed_.call<unsigned char>("uchar", static_cast<unsigned char>(255)));
  EXPECT_EQ(3.0f, typed_.call<float>("float", 1.5f));
  EXPECT_EQ(-5e300, typed_.call<double>("double", -2.5e300));
  EXPECT_EQ("abc!", typed_.call<std::string>("string", "abc"));
  const std::string withNul("key\0secret-part", 15);
  EXPECT_EQ(withNul + "!", typed_.call<std::string>("string", withNul)) << "a NUL inside is kept both ways";
  EXPECT_EQ(std::string("\xC3\xA9t\xC3\xA9!"),
            typed_.call<zu_utf8string>("utf8", zu_utf8string("\xC3\xA9t\xC3\xA9")).str());
  EXPECT_EQ((std::vector<unsigned char>{3, 2, 1, 0}), typed_.call<std::vector<unsigned char>>("bytes", std::vector<unsigned char>{0, 1, 2, 3}));
  const unsigned char raw[] = {9, 8};
  EXPECT_EQ((std::vector<unsigned char>{8, 9}), typed_.call<std::vector<unsigned char>>("bytes", DRAVBytes{raw, 2}));
  Point p;
  p.x = 3;
  p.y = -4;
  const Point moved = typed_.call<Point>("point", p);
  EXPECT_EQ(4, moved.x);
  EXPECT_EQ(-4, moved.y);
  Label l;
  l.text = "tag";
  EXPECT_EQ("tag!", typed_.call<Label>("label", l).text);
}

TEST_F(TypedCalls, ArgumentsGoOutAsTheKindsOfTheirTypes) {
  Point p;
  Label l;
  EXPECT_EQ("(Int, UInt, Short, UShort, Long, ULong, Bool, Char, UChar, Float, Double)",
            typed_.call<std::string>("kinds", 1, 2u, short(3), static_cast<unsigned short>(4), 5L, 6UL, true, 'c',
                                     static_cast<unsigned char>(7), 1.0f, 2.0));
  EXPECT_EQ("(String, String, UTF8String, BinaryArray, BinaryArray, TypedObject, Object)",
            typed_.call<std::string>("kinds", std::string("s"), "literal", zu_utf8string("u"),
                                     std::vector<unsigned char>{1}, DRAVBytes{}, p, l));
}

TEST_F(TypedCalls, LargeBinariesTravelCompressedAndArriveWhole) {
  std::vector<unsigned char> large(1 << 20);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<unsigned char>(i / 1000);
  const std::vector<unsigned char> back = typed_.call<std::vector<unsigned char>>("bytes", large);
  EXPECT_TRUE(std::equal(large.rbegin(), large.rend(), back.begin(), back.end()));
}

TEST_F(TypedCalls, SeveralResultsComeAsATupleAndNoneAsVoid) {
  const auto [head, tail, length] = typed_.call<std::tuple<std::string, std::string, long>>("split", "typed", 2);
  EXPECT_EQ("ty", head);
  EXPECT_EQ("ped", tail);
  EXPECT_EQ(5, length);
  typed_.call("nothing");
}

TEST_F(TypedCalls, TheBridgeRefusingACallIsAnInvocationExceptionWithItsCodeAndMessage) {
  const struct {
    std::function<void()> call;
    long code;
    std::string message;
  } cases[] = {
      {[this] { typed_.call("missing"); }, 1, "unknown method 'missing'; typed offers int, uint, short"},
      {[this] { typed_.call<int>("int", "five"); }, 2, "int takes (Int), got (String)"},
      {[this] { typed_.call<int>("split", 1, 2); }, 2, "split takes (String text, Int at), got (Int, Int)"},
      {[this] { typed_.call<short>("short", 70000); }, 2, "short takes (Short), got (Int)"},
      {[this] { typed_.call<int>("fail", 42); }, 42, "failed on purpose"},
      {[this] { typed_.call<int>("throw"); }, 4, "throw failed"},
      {[this] { typed_.stream("int", [](const unsigned char*, std::size_t) {}, 1); }, 2,
       "int answers with a list; call it without streaming out"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const DRAVSmartProxyException& e) {
      const auto* invocation = dynamic_cast<const DRAVInvocationException*>(&e);
      ASSERT_NE(nullptr, invocation) << e.what();
      EXPECT_EQ(c.code, invocation->code()) << e.what();
      EXPECT_EQ(0u, invocation->bridgeMessage().find(c.message)) << invocation->bridgeMessage();
      EXPECT_EQ(0u, std::string(e.what()).find("typed.")) << e.what();
      EXPECT_EQ(std::string::npos, std::string(e.what()).find("internal detail")) << e.what();
    }
  }
}

TEST_F(TypedCalls, ResultsOfTheWrongCountOrKindNameThePositionAndBothKinds) {
  const struct {
    std::function<void()> call;
    std::size_t position;
    const char* expected;
    const char* received;
  } cases[] = {
      {[this] { typed_.call<std::string>("int", 5); }, 0, "String", "Int"},
      {[this] { typed_.call<int>("nothing"); }, 0, "Int", "nothing"},
      {[this] { typed_.call("int", 1); }, 0, "nothing", "Int"},
      {[this] { typed_.call<std::tuple<std::string, std::string>>("split", "ab", 1); }, 2, "nothing", "Long"},
      {[this] { typed_.call<std::tuple<std::string, int, long>>("split", "ab", 1); }, 1, "Int", "String"},
      {[this] { typed_.call<std::tuple<int, int, long>>("split", "ab", 1); }, 0, "Int", "String"},  // the first named
      {[this] { typed_.call<std::vector<int>>("names", std::vector<int>{1}); }, 0, "Int", "String"},
      {[this] { typed_.call<short>("int", 40000); }, 0, "Short", "Int"},
      {[this] { typed_.call<Label>("point", Point()); }, 0, "Object", "TypedObject"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception for " << c.expected << " at " << c.position;
    } catch (const DRAVResultMismatchException& e) {
      EXPECT_EQ(c.position, e.position()) << e.what();
      EXPECT_EQ(c.expected, e.expected()) << e.what();
      EXPECT_EQ(c.received, e.received()) << e.what();
      EXPECT_EQ(0u, std::string(e.what()).find("typed.")) << e.what();
    }
  }
}

TEST_F(TypedCalls, AnotherHttpStatusCarriesTheStatusAndTheBodysText) {
  DRAVBridgeClient nowhere("typed", Url(url("/nowhere")));
  try {
    nowhere.call<int>("int", 1);
    FAIL() << "no exception";
  } catch (const DRAVHttpStatusException& e) {
    EXPECT_EQ(404u, e.httpCode());
    EXPECT_TRUE(e.fromHost());
    EXPECT_EQ("no bridge at /nowhere; this host serves /bridges/typed", e.body());
    EXPECT_EQ("typed.int: the host answered HTTP 404: no bridge at /nowhere; this host serves /bridges/typed",
              std::string(e.what()));
  }
}

// Members bound in the forms users write: const T&, T, a view, const and noexcept members.
TEST_F(TypedCalls, MembersTakingTextByReferenceByValueOrAsAViewAreMethods) {
  EXPECT_EQ("m:a", typed_.call<std::string>("byReference", "a"));
  EXPECT_EQ("m:b", typed_.call<std::string>("byValue", std::string("b")));
  EXPECT_EQ(3ul, typed_.call<unsigned long>("viewed", std::string_view("abc")));
}

// A 64-bit integer has no kind of its own: a long beyond 32 bits is refused
// where it would leave, naming the call, its position and the value, and
// DRAVInt64 carries it as decimal text.
TEST_F(TypedCalls, IntegersBeyond32BitsAreRefusedByNameOrTravelAsDecimalText) {
  if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits here";
  try {
    typed_.call<long>("long", 5000000000L);
    ADD_FAILURE() << "sent";
  } catch (const DRAVException& e) {
    EXPECT_EQ("typed.long: argument 0 cannot be sent: long value does not fit in 32 bits: 5000000000 (a 64-bit "
              "integer travels as DRAVInt64)",
              std::string(e.what()));
  }
  EXPECT_EQ(2000000000L, typed_.call<long>("add", 2000000000L));
  try {
    typed_.call<long>("add", 2000000000L);  // the bridge's total passes 2^31 - 1
    ADD_FAILURE() << "answered";
  } catch (const DRAVInvocationException& e) {
    EXPECT_EQ(2, e.code());
    EXPECT_EQ("add: result 0 cannot be sent: long value does not fit in 32 bits: 4000000000", e.bridgeMessage());
  }
  EXPECT_EQ(4999999999, typed_.call<DRAVInt64>("add64", DRAVInt64{5000000000}, DRAVInt64{-1}).value);
  EXPECT_EQ(INT64_MIN, typed_.call<DRAVInt64>("add64", DRAVInt64{INT64_MIN}, DRAVInt64{0}).value);
  try {
    typed_.call<DRAVInt64>("add64", std::string("9223372036854775808"), std::string("1"));
    ADD_FAILURE() << "answered";
  } catch (const DRAVInvocationException& e) {
    EXPECT_EQ("add64 takes (String a, String b), got (String, String): value 0 (String \"9223372036854775808\") does "
              "not fit parameter 0 (String a)",
              e.bridgeMessage());
  }
}

// A list is all the values of a call or of its answer, each of its kind.
TEST_F(TypedCalls, AListGoesAsAllTheValuesOfTheCallAndComesBackAsAllTheResults) {
  EXPECT_EQ((std::vector<std::string>{"n1", "n22", "n-3"}),
            typed_.call<std::vector<std::string>>("names", std::vector<int>{1, 22, -3}));
  EXPECT_TRUE(typed_.call<std::vector<std::string>>("names", std::vector<int>{}).empty());
  EXPECT_EQ((std::vector<std::string>{"n7", "n8"}), typed_.call<std::vector<std::string>>("names", 7, short(8)));
  try {
    typed_.call<std::vector<std::string>>("names", 1, "two");
    ADD_FAILURE() << "answered";
  } catch (const DRAVInvocationException& e) {
    EXPECT_EQ("names takes (Int... ids), got (Int, String): value 1 (String \"two\") does not fit parameter 0 (Int... "
              "ids)",
              e.bridgeMessage());
  }
}

TEST_F(TypedCalls, AStreamedAnswerReachesTheSinkInPiecesAndIsNeverHeld) {
  std::uint64_t received = 0;
  std::size_t pieces = 0;
  std::size_t largest = 0;
  bool inOrder = true;
  DRAVClientSettings s;
  s.readSize = 16384;
  DRAVBridgeClient client("typed", Url(url()), AuthInfo(), s);
  const std::uint32_t size = client.stream(
      "generate",
      [&](const unsigned char* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) inOrder = inOrder && data[i] == (received + i) % 251;
        received += n;
        largest = std::max(largest, n);
        ++pieces;
      },
      3000000UL);
  EXPECT_EQ(3000000u, size);
  EXPECT_EQ(3000000u, received);
  EXPECT_TRUE(inOrder);
  EXPECT_GT(pieces, 100u);
  EXPECT_LE(largest, 16384u);

  std::ostringstream out;
  EXPECT_EQ(1000u, typed_.stream("generate", out, 1000UL));
  EXPECT_EQ(1000u, out.str().size());
  EXPECT_EQ(char(250), out.str()[250]);
}

TEST_F(TypedCalls, AnExtraBlobGoesFromMemoryOrAFileInChunks) {
  std::vector<unsigned char> blob(10000);
  unsigned long sum = 0;
  for (std::size_t i = 0; i < blob.size(); ++i) sum += blob[i] = static_cast<unsigned char>(i * 7);
  using Blob = std::tuple<unsigned long, unsigned long, unsigned long>;
  const Blob fromMemory =
      typed_.call<Blob>(DRAVCallOptions().withExtraBlob(blob.data(), 10000).chunked(3000), "blob");
  EXPECT_EQ(Blob(10000, sum, 10), fromMemory);

  TempFolder folder;
  const std::string file = folder.path() + "/blob.bin";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(blob.data()), 2500);
  unsigned long fileSum = 0;
  for (std::size_t i = 0; i < 2500; ++i) fileSum += blob[i];
  EXPECT_EQ(Blob(2500, fileSum, 3), typed_.call<Blob>(DRAVCallOptions().withExtraBlobFile(file), "blob"));
  EXPECT_THROW(typed_.call<Blob>(DRAVCallOptions().withExtraBlobFile(folder.path() + "/none"), "blob"), DRAVException);
}

TEST_F(TypedCalls, OneClientServesManyThreadsOnItsBoundedConnections) {
  DRAVBridgeClient shared("typed", Url(url()), AuthInfo(), settings(3));
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i)
        if (shared.call<int>("int", t * 100 + i) == t * 100 + i + 1 &&
            shared.call<std::string>("string", std::to_string(i)) == std::to_string(i) + "!")
          ++right;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(160, right.load());
  EXPECT_GE(3u, shared.connections());
}

TEST_F(TypedCalls, ManyAsynchronousCallsFromOneThreadRunOnTheClientsConnections) {
  DRAVBridgeClient client("typed", Url(url()), AuthInfo(), settings(8));
  std::vector<std::future<int>> results;
  for (int i = 0; i < 64; ++i) results.push_back(client.callAsync<int>("sleep", 20 + i % 3));
  std::future<void> none = client.callAsync("nothing");
  std::future<int> refused = client.callAsync<int>("int", "x");
  for (int i = 0; i < 64; ++i) EXPECT_EQ(20 + i % 3, results[i].get());
  none.get();
  EXPECT_THROW(refused.get(), DRAVInvocationException);
  EXPECT_EQ(8u, client.connections());
}

TEST_F(TypedCalls, DestroyingAClientCancelsTheCallsStillWaitingAndWaitsForTheRunningOne) {
  std::vector<std::future<int>> results;
  {
    DRAVBridgeClient client("typed", Url(url()), AuthInfo(), settings(1));
    for (int i = 0; i < 5; ++i) results.push_back(client.callAsync<int>("sleep", 300));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the first is being served
  }
  EXPECT_EQ(300, results[0].get());
  for (int i = 1; i < 5; ++i) {
    ASSERT_EQ(std::future_status::ready, results[i].wait_for(std::chrono::seconds(0)));
    EXPECT_THROW(results[i].get(), DRAVCallCancelledException);
  }
}

TEST_F(TypedCalls, TheTableDescribesItsMethods) {
  const std::string description = typed_.call<std::string>("dravDescribe");
  EXPECT_NE(std::string::npos, description.find("split(String text, Int at) -> (String, String, Long)\n"));
  EXPECT_NE(std::string::npos, description.find("generate(ULong size) -> (); streams\n"));
  EXPECT_NE(std::string::npos, description.find("blob() -> (ULong, ULong, ULong); reads the extra blob\n"));
  EXPECT_NE(std::string::npos, description.find("kinds(any values) -> (String)\n"));
  EXPECT_NE(std::string::npos, description.find("names(Int... ids) -> (String...)\n"));
  EXPECT_NE(std::string::npos, description.find("byReference(String) -> (String)\n"));
}

TEST_F(TypedCalls, DravcallPrintsTheDescriptionAndRefusesValuesThatDoNotFitBeforeSending) {
  const ProgramResult described = runProgram(DRAVCALL_PROGRAM, {url(), "--describe"}, 60s);
  EXPECT_EQ(0, described.exitCode) << described.err;
  EXPECT_EQ(0u, described.out.find("int(Int) -> (Int)\nuint(UInt) -> (UInt)\n")) << described.out;
  EXPECT_NE(std::string::npos, described.out.find("\nsplit(String text, Int at) -> (String, String, Long)\n"));

  const ProgramResult refused = runProgram(DRAVCALL_PROGRAM, {"--check", url(), "typed", "split", "int:1", "int:2"}, 60s);
  EXPECT_EQ(2, refused.exitCode);
  EXPECT_EQ("dravcall: not sent: split(String text, Int at): value 0 (Int) does not fit parameter 0 (String text)\n",
            refused.err);
  const ProgramResult counted = runProgram(DRAVCALL_PROGRAM, {"--check", url(), "typed", "split", "string:a"}, 60s);
  EXPECT_EQ("dravcall: not sent: split(String text, Int at) takes 2 values, not 1\n", counted.err);
  const ProgramResult listed = runProgram(DRAVCALL_PROGRAM, {"--check", url(), "typed", "names", "int:1", "bool:1"}, 60s);
  EXPECT_EQ("dravcall: not sent: names(Int... ids): value 1 (Bool) does not fit parameter 0 (Int... ids)\n",
            listed.err);
  const ProgramResult fitting =
      runProgram(DRAVCALL_PROGRAM, {"--check", url(), "typed", "short", "long:-5"}, 60s);
  EXPECT_EQ(0, fitting.exitCode) << fitting.err;
  EXPECT_EQ("0 Short -4\nstatus 0 \"no error detected\" (typed, short)\n", fitting.out);
}

TEST(TypedBridgeHost, KeepsTheDescriptionOffWhenTheOperatorSaysSo) {
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--no-describe", "--bridge",
                                              std::string(DRAV_TEST_PLUGINS) + "/libtyped.so"});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port);
  DRAVBridgeClient client("typed", Url("http://127.0.0.1:" + port + "/bridges/typed"));
  EXPECT_EQ(2, client.call<int>("int", 1));
  try {
    client.call<std::string>("dravDescribe");
    FAIL() << "described";
  } catch (const DRAVHttpStatusException& e) {
    EXPECT_EQ(404u, e.httpCode());
    EXPECT_EQ("this host does not describe its bridges", e.body());
  }
  // Nor does a method it does not have list the ones it has.
  try {
    client.call("nosuch");
    FAIL() << "an unknown method answered";
  } catch (const DRAVInvocationException& e) {
    EXPECT_EQ(1, e.code());
    EXPECT_EQ(std::string::npos, e.bridgeMessage().find("int")) << e.bridgeMessage();
  }
  // Nor does a path no bridge is served at name the one that is.
  DRAVBridgeClient slip("typed", Url("http://127.0.0.1:" + port + "/bridges/tpyed"));
  try {
    slip.call<int>("int", 1);
    FAIL() << "a path no bridge is served at answered";
  } catch (const DRAVHttpStatusException& e) {
    EXPECT_EQ("no bridge at /bridges/tpyed", e.body());
  }
}

}  // namespace
}  // namespace e2e

#endif  // DRAV_TEST_PLUGINS
