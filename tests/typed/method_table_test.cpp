// The method table over page objects in memory: the answer's bytes for a
// call that fits, the checks before a method runs (count, kind, range), the
// statuses of a refusal, a bridge error and any other exception, bodies it
// refuses with an HTTP status, the call's budget, answers written in pieces and the
// extra blob read in pieces.
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/method_table.h>

#include <gtest/gtest.h>
#include <utf8.h>

#include "support/capture_trace.h"
#include "support/fake_asp.h"

namespace {

using Bytes = std::vector<unsigned char>;
using dravtest::FakeRequest;
using dravtest::FakeResponse;

// The answer of one call, decoded here from the bytes the table wrote.
struct Answer {
  DRAVArgs results;
  Bytes streamed;
  bool isStreamed = false;
  std::string text1, text2, message;
  long code = -1;
};

Answer decode(const Bytes& sent, bool streamed) {
  Answer a;
  a.isStreamed = streamed;
  DRAVDataInputStream in(sent.data(), static_cast<unsigned long>(sent.size()));
  if (streamed) {
    unsigned short tag = 0;
    unsigned long size = 0;
    in.readShort(tag);
    in.readLong(size);
    EXPECT_EQ(3, tag);
    EXPECT_LE(size, in.remaining());
    a.streamed.assign(in.data() + in.position(), in.data() + in.position() + size);
    const unsigned char* skipped = nullptr;
    in.readBlock(skipped, size, true);
  } else {
    a.results.readObject(in);
  }
  in.readString(a.text1);
  in.readString(a.text2);
  in.readString(a.message);
  in.readLong(a.code);
  EXPECT_EQ(0u, in.remaining());
  return a;
}

Bytes body(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  return Bytes(out.getBuffer(0), out.getBuffer(0) + out.size());
}

class MethodTable : public ::testing::Test {
protected:
  MethodTable() {
    table_.method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
    table_.method("pair", [](short a, unsigned long b) { return std::make_tuple(b, a); });
    table_.method("either", [](bool b, double d, float f) { return b ? d : f; });
    table_.method("none", [this] { ++ran_; });
    table_.method("fail", []() -> int { throw DRAVBridgeError(7, "no luck"); });
    table_.method("failZero", []() -> int { throw DRAVBridgeError(0, "zero"); });
    table_.method("throw", []() -> int { throw std::runtime_error("a secret"); });
    table_.method("throwInt", []() -> int { throw 42; });
    table_.method("all", [](const DRAVArgs& values) { return static_cast<int>(values.size()); });
    table_.method("stream", [](unsigned long size, DRAVStreamWriter& out) {
      if (out.streamed()) out.begin(static_cast<std::uint32_t>(size));
      else out.beginListedBinary(static_cast<std::uint32_t>(size));
      for (unsigned long i = 0; i < size; ++i) {
        const unsigned char b = static_cast<unsigned char>(i);
        out.write(&b, 1);
      }
    });
    table_.method("short", [](DRAVStreamWriter& out) { out.begin(10); });
    table_.method("blob", [](DRAVBlobReader& blob) {
      std::vector<unsigned char> all;
      unsigned long pieces = 0;
      for (DRAVBytes piece; (piece = blob.next(3)).size > 0; ++pieces) all.insert(all.end(), piece.data, piece.data + piece.size);
      return std::make_tuple(all, pieces);
    });
  }

  // Serves `method` over a request holding `args` (then `blob`).
  Answer serve(const std::string& method, const DRAVArgs& args, bool streamsOut = false, const Bytes& blob = Bytes(),
               DRAVDecodeBudget* budget = nullptr) {
    Bytes posted = body(args);
    DRAVTableCall call;
    call.methodName = method;
    call.argsSize = static_cast<std::uint32_t>(posted.size());
    call.extraBlobSize = static_cast<std::uint32_t>(blob.size());
    call.streamsOut = streamsOut;
    call.decodeBudget = budget;
    posted.insert(posted.end(), blob.begin(), blob.end());
    FakeRequest request(posted);
    FakeResponse response;
    const long code = table_.serve(call, &request, &response);
    Answer answer = decode(response.sent(), streamsOut);
    EXPECT_EQ(code, answer.code);
    return answer;
  }

  DRAVMethodTable table_{"tbl", DRAVMethodTableLimits{1024, 4}};
  int ran_ = 0;
};

TEST_F(MethodTable, AnswersAFittingCallWithItsResultsThenTheStatus) {
  DRAVArgs args;
  args.addArg(std::string("World"));
  const Answer a = serve("greet", args);
  ASSERT_EQ(1u, a.results.size());
  EXPECT_EQ("Hello, World!", a.results.getString(0));
  EXPECT_EQ("tbl", a.text1);
  EXPECT_EQ("greet", a.text2);
  EXPECT_EQ("no error detected", a.message);
  EXPECT_EQ(0, a.code);
}

TEST_F(MethodTable, TakesValuesOfCompatibleKindsAsTheTypedGettersDo) {
  DRAVArgs args;
  args.addArg(static_cast<long>(-3));               // a Long for a short
  args.addArg(static_cast<unsigned short>(65535));  // a UShort for an unsigned long
  const Answer a = serve("pair", args);
  ASSERT_EQ(2u, a.results.size());
  EXPECT_EQ(65535u, a.results.getULong(0));
  EXPECT_EQ(-3, a.results.getShort(1));

  DRAVArgs widened;
  widened.addArg(7);  // an Int for a bool
  widened.addArg(1.5f);
  widened.addArg(2.5);  // a Double within float's range
  const Answer b = serve("either", widened);
  EXPECT_EQ(0, b.code) << b.message;
  EXPECT_EQ(1.5, b.results.getDouble(0));
}

// An object whose reading copies out what it holds.
struct Words : DRAVSerializable {
  std::vector<std::string> words;
  void writeObject(DRAVOutputStream& out) const override {
    out.writeULong(static_cast<unsigned long>(words.size()));
    for (const std::string& w : words) out.writeString(w);
  }
  void readObject(DRAVInputStream& in) override {
    unsigned long count = 0;
    in.readLong(count);
    for (std::string w; count > 0 && in.remaining(); --count) {
      in.readString(w);
      words.push_back(w);
    }
  }
};

TEST_F(MethodTable, RefusesValuesThatDoNotFitBeforeTheMethodRuns) {
  const auto one = [](auto value) {
    DRAVArgs args;
    args.addArg(value);
    return args;
  };
  DRAVArgs pairOf;
  pairOf.addArg(40000);  // an Int beyond short
  pairOf.addArg(1ul);
  DRAVArgs signedForUnsigned;
  signedForUnsigned.addArg(static_cast<short>(1));
  signedForUnsigned.addArg(1);  // an Int for an unsigned long
  DRAVArgs bigDouble;
  bigDouble.addArg(true);
  bigDouble.addArg(1.0);
  bigDouble.addArg(1e300);  // no float holds it
  DRAVArgs bothWrong;  // the first that does not fit is named
  bothWrong.addArg(40000);
  bothWrong.addArg(1);
  DRAVArgs charForBool;
  charForBool.addArg(std::string("x"));
  charForBool.addArg(1.0);
  charForBool.addArg(1.0f);
  const struct {
    const char* method;
    DRAVArgs args;
    const char* message;
  } cases[] = {
      {"greet", DRAVArgs(), "greet takes (String name), got ()"},
      {"greet", one(5), "greet takes (String name), got (Int): value 0 (Int 5) does not fit parameter 0 (String name)"},
      {"greet", one(zu_utf8string("x")),
       "greet takes (String name), got (UTF8String): value 0 (UTF8String \"x\") does not fit parameter 0 (String name)"},
      {"pair", pairOf, "pair takes (Short, ULong), got (Int, ULong): value 0 (Int 40000) does not fit parameter 0 (Short)"},
      {"pair", signedForUnsigned, "pair takes (Short, ULong), got (Short, Int): value 1 (Int 1) does not fit parameter 1 (ULong)"},
      {"pair", bothWrong, "pair takes (Short, ULong), got (Int, Int): value 0 (Int 40000) does not fit parameter 0 (Short)"},
      {"either", bigDouble,
       "either takes (Bool, Double, Float), got (Bool, Double, Double): value 2 (Double 1e+300) does not fit parameter 2 (Float)"},
      {"either", charForBool,
       "either takes (Bool, Double, Float), got (String, Double, Float): value 0 (String \"x\") does not fit parameter 0 (Bool)"},
      {"none", one(1), "none takes (), got (Int)"},
  };
  DRAVArgs many;
  for (int i = 0; i < 20; ++i) many.addArg(i);
  const Answer flood = serve("greet", many);
  EXPECT_EQ("greet takes (String name), got (Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, Int, "
            "Int, and 4 more)",
            flood.message)
      << "the message stays short however many values come";
  for (const auto& c : cases) {
    const Answer a = serve(c.method, c.args);
    EXPECT_EQ(DRAVMethodTable::BadArguments, a.code) << c.message;
    EXPECT_EQ(c.message, a.message);
    EXPECT_EQ(0u, a.results.size());
  }
  // An object that does not read back as the parameter's class: trailing bytes.
  struct Trailing : DRAVSerializable {
    void writeObject(DRAVOutputStream& out) const override {
      out.writeULong(0);
      out.writeULong(99);
    }
  };
  table_.method("count", [this](const Words& w) {
    ++ran_;
    return static_cast<int>(w.words.size());
  });
  DRAVArgs trailing;
  DRAVTyped::KindOf<Trailing>::add(trailing, Trailing());
  const Answer unread = serve("count", trailing);
  EXPECT_EQ(DRAVMethodTable::BadArguments, unread.code) << unread.message;
  EXPECT_EQ(0u, unread.message.find("count takes (Object)")) << unread.message;
  // A method that answers with a list cannot answer a call that streams out: it never runs.
  EXPECT_EQ(DRAVMethodTable::BadArguments, serve("none", DRAVArgs(), true).code);
  EXPECT_EQ(0, ran_);
  serve("none", DRAVArgs());
  EXPECT_EQ(1, ran_);
}

TEST_F(MethodTable, AnswersFailuresWithAStatusAndKeepsInternalTextOut) {
  dravtest::CaptureTrace trace;
  const Answer unknown = serve("missing", DRAVArgs());
  EXPECT_EQ(DRAVMethodTable::UnknownMethod, unknown.code);
  EXPECT_EQ("unknown method 'missing'; tbl offers greet, pair, either, none, fail, failZero, throw, throwInt, all, "
            "stream, short, blob",
            unknown.message);
  const Answer longName = serve(std::string(1000, 'm'), DRAVArgs());
  EXPECT_EQ("unknown method '" + std::string(124, 'm') + "\\...'; tbl offers", longName.message.substr(0, 157));
  const Answer failed = serve("fail", DRAVArgs());
  EXPECT_EQ(7, failed.code);
  EXPECT_EQ("no luck", failed.message);
  EXPECT_EQ(DRAVMethodTable::MethodFailed, serve("failZero", DRAVArgs()).code) << "a failure never reads as success";
  const Answer thrown = serve("throw", DRAVArgs());
  EXPECT_EQ(DRAVMethodTable::MethodFailed, thrown.code);
  EXPECT_EQ("throw failed", thrown.message);
  EXPECT_TRUE(trace.contains("tbl.throw failed: a secret"));
  const Answer notStd = serve("throwInt", DRAVArgs());
  EXPECT_EQ(DRAVMethodTable::MethodFailed, notStd.code);
  EXPECT_EQ("throwInt failed", notStd.message);
  // A result its kind cannot carry is named with its position and value, not "failed".
  const unsigned long long wide = 5000000000ull;
  table_.method("wide", [wide] { return std::make_tuple(1, static_cast<unsigned long>(wide)); });
  const Answer tooWide = serve("wide", DRAVArgs());
  if (sizeof(unsigned long) > 4) {
    EXPECT_EQ(DRAVMethodTable::BadArguments, tooWide.code);
    EXPECT_EQ("wide: result 1 cannot be sent: unsigned long value does not fit in 32 bits: 5000000000",
              tooWide.message);
    EXPECT_EQ(0u, tooWide.results.size());
  }
}

TEST_F(MethodTable, AMethodTakingTheListGetsEveryValueUnchecked) {
  DRAVArgs args;
  args.addArg(1);
  args.addArg(std::string("x"));
  args.addArg(2.0);
  EXPECT_EQ(3, serve("all", args).results.getInt(0));
}

TEST_F(MethodTable, RefusesABodyItCannotReadWithAnHttpStatusBeforeWriting) {
  const struct {
    Bytes posted;
    std::uint32_t argsSize;
    unsigned status;
    const char* message;
  } cases[] = {
      {Bytes(2000, 0), 2000, 413, "the arguments take 2000 bytes; this bridge reads at most 1024"},
      {Bytes{1, 0, 0, 0, 1}, 9, 400, "the body ended after 5 of 9 argument bytes"},
      {Bytes{1, 0, 0, 0, 5, 0, 1}, 7, 400, "malformed arguments"},
      {Bytes{1, 0, 0, 0, 0, 'x', 'y'}, 7, 400, "malformed arguments: 2 bytes follow the list"},
  };
  for (const auto& c : cases) {
    FakeRequest request(c.posted);
    FakeResponse response;
    DRAVTableCall call;
    call.methodName = "all";
    call.argsSize = c.argsSize;
    try {
      table_.serve(call, &request, &response);
      ADD_FAILURE() << c.message;
    } catch (const DRAVBodyException& e) {
      EXPECT_EQ(c.status, e.httpStatus()) << e.what();
      EXPECT_EQ(0u, std::string(e.what()).find(c.message)) << e.what();
    }
    EXPECT_TRUE(response.sent().empty());
  }
}

TEST_F(MethodTable, DecodesAndAnswersUnderTheCallsBudget) {
  DRAVArgs args;
  args.addArg(std::string(200, 'x'));
  DRAVDecodeBudget tight(100);
  EXPECT_THROW(serve("greet", args, false, Bytes(), &tight), DRAVBodyException);
  EXPECT_TRUE(tight.exceeded());
  DRAVDecodeBudget enough(4096);
  EXPECT_EQ(0, serve("greet", args, false, Bytes(), &enough).code);
  // The answer's serialized copy counts while it lives and is given back after:
  // room for the greeting's text (held twice while its result is made) but
  // not for its serialized copy beside the result.
  const DRAVVar greeting("Hello, " + std::string(200, 'x') + "!");
  DRAVDecodeBudget noRoomForTheAnswer(enough.used() + greeting.objectSize(nullptr) - 1);
  try {
    serve("greet", args, false, Bytes(), &noRoomForTheAnswer);
    ADD_FAILURE() << "the answer fit";
  } catch (const DRAVBodyException& e) {
    EXPECT_EQ(413u, e.httpStatus());
    EXPECT_EQ(0u, std::string(e.what()).find("the answer takes more than the ")) << e.what();
  }
}

TEST_F(MethodTable, WritesAnAnswerInPiecesStreamedOrAsAList) {
  DRAVArgs args;
  args.addArg(300ul);
  const Answer streamed = serve("stream", args, true);
  EXPECT_EQ(0, streamed.code);
  ASSERT_EQ(300u, streamed.streamed.size());
  EXPECT_EQ(255, streamed.streamed[255]);
  EXPECT_EQ(43, streamed.streamed[299]);
  const Answer listed = serve("stream", args, false);
  EXPECT_EQ(0, listed.code);
  ASSERT_EQ(1u, listed.results.size());
  const auto& value = listed.results.getBinaryArray(0);
  EXPECT_EQ(Bytes(streamed.streamed), Bytes(value.getData(), value.getData() + value.getLength()));
}

TEST_F(MethodTable, ACallStreamingOutGetsTheStreamedFormWhateverHappens) {
  DRAVArgs args;
  args.addArg(std::string("x"));
  const Answer list = serve("greet", args, true);
  EXPECT_TRUE(list.streamed.empty());
  EXPECT_EQ(DRAVMethodTable::BadArguments, list.code);
  EXPECT_EQ("greet answers with a list; call it without streaming out", list.message);
  table_.method("streamFail", [](DRAVStreamWriter&) { throw DRAVBridgeError(7, "no luck"); });
  const Answer failed = serve("streamFail", DRAVArgs(), true);
  EXPECT_TRUE(failed.streamed.empty());
  EXPECT_EQ(7, failed.code);
  const Answer unknown = serve("missing", DRAVArgs(), true);
  EXPECT_EQ(DRAVMethodTable::UnknownMethod, unknown.code);
}

TEST_F(MethodTable, AStreamCutShortEndsTheAnswerWithoutAStatus) {
  FakeRequest request(body(DRAVArgs()));
  FakeResponse response;
  DRAVTableCall call;
  call.methodName = "short";
  call.argsSize = 5;
  call.streamsOut = true;
  EXPECT_THROW(table_.serve(call, &request, &response), std::runtime_error);
  EXPECT_EQ(7u, response.sent().size()) << "only the value's head went out";
}

TEST_F(MethodTable, ReadsTheExtraBlobInPiecesOfTheMethodsChoosing) {
  const Bytes blob{1, 2, 3, 4, 5, 6, 7, 8};
  const Answer a = serve("blob", DRAVArgs(), false, blob);
  EXPECT_EQ(0, a.code) << a.message;
  const auto& all = a.results.getBinaryArray(0);
  EXPECT_EQ(blob, Bytes(all.getData(), all.getData() + all.getLength()));
  EXPECT_EQ(3u, a.results.getULong(1));

  // A blob that ends before its declared size is a malformed body.
  FakeRequest request(body(DRAVArgs()));
  FakeResponse response;
  DRAVTableCall call;
  call.methodName = "blob";
  call.argsSize = 5;
  call.extraBlobSize = 4;
  EXPECT_THROW(table_.serve(call, &request, &response), DRAVBodyException);
}

TEST_F(MethodTable, DescribesItselfAndAnswersTheDescribeMethod) {
  const std::string text = table_.describe();
  EXPECT_EQ(0u, text.find("greet(String name) -> (String)\npair(Short, ULong) -> (ULong, Short)\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\nall(any values) -> (Int)\n"));
  EXPECT_NE(std::string::npos, text.find("\nstream(ULong) -> (); streams\n"));
  EXPECT_NE(std::string::npos, text.find("\nblob() -> (BinaryArray, ULong); reads the extra blob\n"));
  EXPECT_EQ(text, serve(DRAVMethodTable::kDescribeMethod, DRAVArgs()).results.getString(0));
  EXPECT_THROW(table_.method("greet", [] {}), std::logic_error);
  EXPECT_THROW(table_.method(DRAVMethodTable::kDescribeMethod, [] {}), std::logic_error);
}

struct Counter {
  int step = 2;
  int add(int n) { return n + step; }
};

TEST_F(MethodTable, BindsMemberFunctions) {
  Counter counter;
  DRAVMethodTable table("members");
  table.method("add", &counter, &Counter::add, {"n"});
  DRAVArgs args;
  args.addArg(40);
  FakeRequest request(body(args));
  FakeResponse response;
  DRAVTableCall call;
  call.methodName = "add";
  call.argsSize = static_cast<std::uint32_t>(body(args).size());
  table.serve(call, &request, &response);
  EXPECT_EQ(42, decode(response.sent(), false).results.getInt(0));
}

// A hostile caller picks the method name: the message that names an
// unknown one carries no control character and only whole UTF-8 sequences ...
TEST_F(MethodTable, AnUnknownMethodNameReachesItsMessageAsPlainText) {
  // ... in a message of bounded size, however many methods the table has.
  for (int i = 0; i < 1000; ++i) table_.method("aMethodWithAName" + std::to_string(i), [] {});
  for (const std::string& name : {std::string("\x1b[2J\x07wipe"), std::string("bad\xff\xfe utf-8"),
                                   std::string(127, 'x') + "\xc3\xa9" + std::string(200, 'y')}) {
    const Answer a = serve(name, DRAVArgs());
    EXPECT_EQ(DRAVMethodTable::UnknownMethod, a.code);
    EXPECT_LT(a.message.size(), 512u);
    for (unsigned char c : a.message) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << int(c) << " in " << a.message;
    EXPECT_TRUE(utf8::is_valid(a.message.begin(), a.message.end())) << a.message;
  }
}

// What a method holds beside the decoded values counts against the call:
// the copy a std::vector parameter takes while the method runs, and the
// results while the answer is written.
TEST_F(MethodTable, CopiesAMethodHoldsCountAgainstTheCallsBudget) {
  std::uint64_t usedWhileRunning = 0;
  table_.method("keep", [&](const std::vector<unsigned char>& bytes, const DRAVTableCall& call) {
    usedWhileRunning = call.decodeBudget->used();
    return static_cast<unsigned long>(bytes.size());
  });
  table_.method("make", [](unsigned long size) { return std::vector<unsigned char>(size, 'm'); });
  DRAVArgs bytes;
  DRAVTyped::KindOf<std::vector<unsigned char>>::add(bytes, std::vector<unsigned char>(600, 0x6b));
  DRAVDecodeBudget roomy(1 << 20);
  EXPECT_EQ(0, serve("keep", bytes, false, Bytes(), &roomy).code);
  EXPECT_GE(usedWhileRunning, 2 * 600u) << "the decoded value and the parameter's copy";

  table_.method("words", [&](const Words& words, const DRAVTableCall& call) {
    usedWhileRunning = call.decodeBudget->used();
    return static_cast<unsigned long>(words.words.size());
  });
  Words words;
  words.words.assign(12, std::string(50, 'w'));
  DRAVArgs object;
  DRAVTyped::KindOf<Words>::add(object, words);
  DRAVDecodeBudget forWords(1 << 20);
  EXPECT_EQ(0, serve("words", object, false, Bytes(), &forWords).code);
  EXPECT_GE(usedWhileRunning, 2 * 600u) << "the object's bytes and the text read out of them";

  // 600 result bytes are held once: the answer goes out from their own
  // bytes, with no serialized copy beside them; 1000 do not fit.
  DRAVArgs size;
  size.addArg(600ul);
  DRAVDecodeBudget tight(1000);
  EXPECT_EQ(600u, serve("make", size, false, Bytes(), &tight).results.getBinaryArray(0).getLength());
  DRAVArgs larger;
  larger.addArg(1000ul);
  DRAVDecodeBudget same(1000);
  EXPECT_THROW(serve("make", larger, false, Bytes(), &same), DRAVBodyException);
}

// A large byte value is held once from its arrival to the answer: read into
// the buffer its vector parameter takes over, answered from the vector the
// method gives back, or from the value itself for a view of it. The host
// counts the argument bytes as held from the start; the share is barely more.
TEST_F(MethodTable, ALargeByteValueIsHeldOnceFromItsArrivalToItsAnswer) {
  DRAVMethodTable big("big", DRAVMethodTableLimits{1 << 22, 4096});
  big.method("vector", [](std::vector<unsigned char> bytes) { return bytes; });
  big.method("view", [](DRAVBytes bytes) { return bytes; });
  big.method("copy", [](const std::vector<unsigned char>& bytes) { return bytes; });
  const auto posting = [](const Bytes& value) {
    DRAVArgs args;
    args.addArg(const_cast<unsigned char*>(value.data()), static_cast<unsigned long>(value.size()), false);
    return body(args);
  };
  const auto call = [&](const char* method, const Bytes& posted, std::uint64_t share) {
    DRAVDecodeBudget budget(share);
    EXPECT_TRUE(budget.tryCharge(posted.size()));
    DRAVTableCall headers;
    headers.methodName = method;
    headers.argsSize = static_cast<std::uint32_t>(posted.size());
    headers.decodeBudget = &budget;
    headers.argumentsCharged = posted.size();
    FakeRequest request(posted);
    FakeResponse response;
    big.serve(headers, &request, &response);
    return decode(response.sent(), false);
  };
  const auto expectEchoed = [](const Bytes& value, const Answer& a, const char* method) {
    ASSERT_EQ(0, a.code) << method << ": " << a.message;
    const Bytes back = Bytes(a.results.getBinaryArray(0).getData(),
                             a.results.getBinaryArray(0).getData() + a.results.getBinaryArray(0).getLength());
    EXPECT_EQ(value, back) << method;
  };
  Bytes value(1 << 20);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  const Bytes posted = posting(value);
  const std::uint64_t once = posted.size() + 64 * 1024;
  for (const char* method : {"vector", "view", "copy"}) {
    const bool copies = method[0] == 'c';
    if (copies) {
      EXPECT_THROW(call(method, posted, once), DRAVBodyException) << method << ": a copy is a second value";
    }
    expectEchoed(value, call(method, posted, copies ? 2 * once : once), method);
  }

  // Four letters in random order go back compressed, to about a third: that
  // form is held beside the value until the answer is written.
  Bytes letters(1 << 20);
  std::uint32_t state = 1;
  for (unsigned char& c : letters) c = static_cast<unsigned char>("acgt"[(state = state * 1103515245 + 12345) >> 30]);
  const Bytes postedLetters = posting(letters);
  for (const char* method : {"vector", "view"}) {
    EXPECT_THROW(call(method, postedLetters, once), DRAVBodyException) << method << ": its compressed form too";
    expectEchoed(letters, call(method, postedLetters, once + letters.size()), method);
  }
}

TEST_F(MethodTable, DescribesAMethodAnsweringWithAnyValuesAsSuch) {
  table_.method("relay", [](const DRAVArgs& values) { return DRAVArgs(values); });
  EXPECT_NE(std::string::npos, table_.describe().find("\nrelay(any values) -> (any values)\n")) << table_.describe();
}

}  // namespace
