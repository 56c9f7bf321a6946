// dravcall's own pieces: its command line, what it says of cut, hostile
// and over-budget answers, and the progress line.
#ifdef DRAVCALL_PROGRAM

#include "call_options.h"
#include "method_check.h"
#include "progress_meter.h"

#include <drav/common/exception.h>
#include <drav/serialization/invocation_status.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/answer_reading.h>

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace e2e {
namespace {

using DRAVTyped::AnswerReader;
using dravtools::CallOptions;
using dravtools::parseCallOptions;
using dravtools::UsageError;

CallOptions parse(std::vector<std::string> words) {
  words.insert(words.begin(), "dravcall");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  return parseCallOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(DravcallOptions, SeparateItsOwnOptionsTheLibrarysAndTheCall) {
  const CallOptions o = parse({"-DRAVhttp_auth_user", "ann", "--chunk-size", "4096", "http://h/b", "bridge", "echo",
                               "int:5", "-DRAVreq_timeout", "900", "--streaming", "INOUT", "--", "string:--x"});
  EXPECT_EQ("http://h/b", o.url);
  EXPECT_EQ("bridge", o.bridge);
  EXPECT_EQ("echo", o.method);
  EXPECT_EQ((std::vector<std::string>{"int:5", "string:--x"}), o.values);
  EXPECT_EQ(4096ul, o.chunkSize);
  EXPECT_EQ(StreamingInOut, o.mode);
  EXPECT_TRUE(o.requestTimeoutGiven);
  EXPECT_FALSE(o.connectionTimeoutGiven);
  EXPECT_EQ(dravtools::kDefaultDecodeBudget, o.decodeBudget);
  EXPECT_EQ(67108864u, dravtools::kDefaultDecodeBudget) << "the figure --help gives";
  EXPECT_NE(std::string::npos, std::string(dravtools::callUsage()).find("(default 67108864, 64 MiB)"));
  EXPECT_EQ(18446744073709551615u, parse({"--decode-budget", "18446744073709551615", "u", "b", "m"}).decodeBudget);
}

TEST(DravcallOptions, RefuseWhatCannotRun) {
  const std::vector<std::vector<std::string>> bad = {
      {"http://h/b", "bridge"},
      {"--chunk-size", "-1", "u", "b", "m"},
      {"--chunk-size", "4294967296", "u", "b", "m"},
      {"--streaming", "UP", "u", "b", "m"},
      {"--trace", "loud", "u", "b", "m"},
      {"--read-size", "0", "u", "b", "m"},
      {"--frobnicate", "u", "b", "m"},
      {"u", "b", "m", "--output"},
      {"--decode-budget", "0", "u", "b", "m"},
      {"--decode-budget", "18446744073709551616", "u", "b", "m"},
      {"--decode-budget", "64M", "u", "b", "m"},
      {"--decode-budget", " 1", "u", "b", "m"},
  };
  for (const auto& words : bad) EXPECT_THROW(parse(words), UsageError) << words[0];
  try {
    parse({"--decode-budget", "18446744073709551616", "u", "b", "m"});
  } catch (const UsageError& e) {
    EXPECT_STREQ("--decode-budget takes a byte count from 1 to 18446744073709551615, not '18446744073709551616'",
                 e.what());
  }
  EXPECT_TRUE(parse({"--help"}).help);
  // The library's options are the command line's too: a mistyped one is no call.
  try {
    parse({"-DRAVssl_cafile", "ca.pem", "u", "b", "m", "-DRAVhttp_auth_mode", "basci"});
    ADD_FAILURE() << "a mistyped -DRAV option passed";
  } catch (const UsageError& e) {
    EXPECT_STREQ("-DRAVssl_cafile is not an option (did you mean -DRAVssl_ca_file?); -DRAVhttp_auth_mode takes "
                 "none, basic or ntlm, not 'basci' (did you mean basic?)",
                 e.what());
  }
}

std::string statusBytes(long code, const std::string& message) {
  DRAVInvocation::Bridge::Status status("t1", "t2", message, code);
  DRAVDataOutputStream out;
  status.writeObject(out);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(1)), out.size() - 1);
}

std::string listAnswer() {
  DRAVArgs results;
  results.addArg(42);
  results.addArg(std::string("forty-two"));
  DRAVDataOutputStream out;
  results.writeObject(out);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size()) + statusBytes(0, "fine");
}

std::string streamedAnswer(const std::string& value) {
  std::string head("\x01\x00\x03", 3);
  for (int shift = 24; shift >= 0; shift -= 8) head += static_cast<char>((value.size() >> shift) & 0xFF);
  return head + value + statusBytes(0, "streamed");
}

void feedInPieces(AnswerReader& reader, const std::string& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    reader.feed(reinterpret_cast<const unsigned char*>(bytes.data()) + at, std::min(piece, bytes.size() - at));
}

TEST(AnswerReader, RefusesCutAndForeignAnswersClearly) {
  const struct {
    bool streamed;
    std::string bytes;
    const char* says;
  } cases[] = {
      {false, "", "empty"},
      {false, listAnswer().substr(0, 20), "truncated"},
      {false, listAnswer() + "x", "1 bytes follow the status"},
      {false, "<html>error</html>", "byte-order marker"},
      {true, streamedAnswer("abc").substr(0, 9), "inside its value"},
      {true, std::string("\x01\x00\x02\x00\x00\x00\x01", 7) + "x", "tag 2"},
      {true, streamedAnswer("abc").substr(0, 14), "truncated"},
  };
  for (const auto& c : cases) {
    AnswerReader reader(c.streamed, nullptr, 1 << 20, 1 << 20);
    try {
      feedInPieces(reader, c.bytes, 5);
      reader.finish();
      ADD_FAILURE() << "accepted: " << c.says;
    } catch (const DRAVException& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << e.what();
    }
  }
}

TEST(AnswerReader, DecodesUnderItsBudgetAndSaysSoApartFromMalformed) {
  std::vector<unsigned char> bytes(1000, 7);
  DRAVArgs results;
  results.addArg(bytes.data(), 1000ul, true);
  DRAVDataOutputStream out;
  results.writeObject(out);
  const std::string answer =
      std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size()) + statusBytes(0, "fine");

  AnswerReader ample(false, nullptr, 1 << 20, 2000);
  feedInPieces(ample, answer, 64);
  ample.finish();
  EXPECT_EQ(1000ul, ample.results().getBinaryArray(0).getLength());

  AnswerReader tight(false, nullptr, 1 << 20, 999);
  feedInPieces(tight, answer, 64);
  try {
    dravtools::decodeUnder(tight.budget(), [&] { tight.finish(); });
    ADD_FAILURE() << "decoded beyond its budget";
  } catch (const dravtools::OverBudget& e) {
    EXPECT_STREQ("over the budget of 999 bytes (--decode-budget to raise it)", e.what());
  }
  AnswerReader cut(false, nullptr, 1 << 20, 999);
  feedInPieces(cut, answer.substr(0, 900), 64);
  try {
    dravtools::decodeUnder(cut.budget(), [&] { cut.finish(); });
    ADD_FAILURE() << "a cut answer was taken";
  } catch (const dravtools::OverBudget&) {
    ADD_FAILURE() << "a cut answer is malformed, not over the budget";
  } catch (const DRAVException& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("truncated")) << e.what();
  }
}

TEST(ProgressMeter, ShowsTheShareWhenTheTotalIsKnownAndOnlyWhenEnabled) {
  EXPECT_EQ("upload   [##########          ]  50%  512.0 MiB / 1.0 GiB",
            dravtools::ProgressMeter::line("upload", 512ull << 20, 1ull << 30));
  EXPECT_EQ("download 300 B", dravtools::ProgressMeter::line("download", 300, 0));
  std::ostringstream quiet, shown;
  {
    dravtools::ProgressMeter off(quiet, "upload", false);
    off.update(10);
    dravtools::ProgressMeter on(shown, "upload", true);
    on.setTotal(10);
    on.update(10);
  }
  EXPECT_EQ("", quiet.str());
  EXPECT_EQ("\rupload   [####################] 100%  10 B / 10 B\x1b[K\n", shown.str());
}

// The description comes from the server: what of it a refusal shows is
// escaped (no byte a terminal acts on) and bounded, whatever the server sent.
TEST(DravcallParts, CheckRefusalsShowTheServersDescriptionEscapedAndBounded) {
  DRAVArgs values;
  values.addArg(std::string("x"));
  const std::string hostile[] = {
      "echo(\x1b[2J\x1b]0;pwn\x07Int x) -> (Int)\n",
      "echo(Int... \x1b[31mids) -> (Int)\n",
      "echo(Int " + std::string(100000, '\x1b') + ") -> (Int)\n",
      "echo(Int, Int" + std::string(100000, 'n') + ") -> (Int)\n",
  };
  for (const std::string& description : hostile) {
    const std::string refusal = dravtools::checkAgainstDescription(description, "echo", values);
    ASSERT_FALSE(refusal.empty()) << description.substr(0, 40);
    EXPECT_EQ(std::string::npos, refusal.find('\x1b')) << refusal.substr(0, 200);
    EXPECT_EQ(std::string::npos, refusal.find('\x07')) << refusal.substr(0, 200);
    EXPECT_LT(refusal.size(), 2048u) << refusal.substr(0, 200);
  }
  // A description of plain text is shown as it came.
  EXPECT_EQ("echo(Int x): value 0 (String) does not fit parameter 0 (Int x)",
            dravtools::checkAgainstDescription("echo(Int x) -> (Int)\n", "echo", values));
}

}  // namespace
}  // namespace e2e

#endif
