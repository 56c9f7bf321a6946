// dravdump: prints the values of a serialized argument body, or encodes one
// from typed values given on the command line.
#include "answer_dump.h"
#include "body_dump.h"
#include "decode_budget_option.h"
#include "file_bytes.h"
#include "value_syntax.h"

#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/output_stream.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

const char* const kUsage =
    "Usage: dravdump [--decode-budget BYTES] [FILE]\n"
    "       dravdump --answer|--streamed-answer [--decode-budget BYTES] [FILE]\n"
    "       dravdump --encode [--output FILE] [--threshold BYTES] VALUE...\n"
    "       dravdump --help\n"
    "\n"
    "Options may also follow the values; -- ends the options.\n"
    "\n"
    "Without --encode, prints the values of a serialized argument body read from\n"
    "FILE (or standard input when FILE is missing or -), one line per value:\n"
    "index, kind, value. Binary values show their length and first bytes, after\n"
    "decompression when they were stored compressed. Decoding may take at most\n"
    "--decode-budget BYTES of memory (default 67108864, 64 MiB, what a bridge host\n"
    "with default settings grants one call): decompressed values, value storage\n"
    "and text.\n"
    "\n"
    "With --answer, FILE holds a bridge's answer: the values are followed by the\n"
    "invocation status, printed last; --streamed-answer for the answer of a call\n"
    "streaming out (one binary value, then the status).\n"
    "\n"
    "With --encode, writes the body holding VALUE... to FILE (or standard output\n"
    "when it is not a terminal). --threshold sets the size from which binary\n"
    "values are compressed.\n"
    "\n";

int fail(const std::string& message, int code = 1) {
  std::cerr << "dravdump: " << message << '\n';
  return code;
}

int dump(const std::string& path, std::uint64_t decodeBudget) {
  std::vector<unsigned char> body;
  std::string error;
  if (!dravtools::readFileBytes(path, body, error)) return fail(error);
  try {
    DRAVDecodeBudget budget(decodeBudget);
    unsigned long rest =
        dravtools::dumpArgumentBody(body.data(), static_cast<unsigned long>(body.size()), std::cout, budget);
    if (rest) std::cout << "(" << rest << " more bytes follow the values)\n";
  } catch (const dravtools::OverBudget& e) {
    return fail(std::string("decoding the body goes ") + e.what());
  } catch (const std::exception& e) {
    return fail(std::string("malformed body: ") + e.what());
  }
  return 0;
}

int dumpAnswer(const std::string& path, bool streamed, std::uint64_t decodeBudget) {
  std::vector<unsigned char> body;
  std::string error;
  if (!dravtools::readFileBytes(path, body, error)) return fail(error);
  try {
    DRAVDecodeBudget budget(decodeBudget);
    dravtools::dumpAnswer(body.data(), static_cast<unsigned long>(body.size()), streamed, std::cout, budget);
  } catch (const dravtools::OverBudget& e) {
    return fail(std::string("decoding the answer goes ") + e.what());
  } catch (const std::exception& e) {
    return fail(std::string("malformed answer: ") + e.what());
  }
  return 0;
}

int encode(const std::vector<std::string>& words, const std::string& output) {
  DRAVArgs args;
  try {
    for (const std::string& word : words) args.addArg(dravtools::parseValue(word));
  } catch (const std::exception& e) {
    return fail(std::string("bad value ") + e.what(), 2);
  }
  DRAVDataOutputStream body;
  args.writeObject(body);
  if (output.empty() || output == "-") {
    if (isatty(STDOUT_FILENO)) return fail("refusing to write a binary body to a terminal; use --output FILE", 2);
    std::cout.write(reinterpret_cast<const char*>(body.getBuffer(0)), body.size());
    std::cout.flush();
    if (!std::cout) return fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  } else {
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(body.getBuffer(0)), body.size());
    file.close();
    if (!file) return fail("cannot write " + output + ": " + std::strerror(errno));
  }
  std::cerr << "dravdump: encoded " << args.size() << " values in " << body.size() << " bytes\n";
  return 0;
}

bool parseThreshold(const char* text, unsigned long& bytes) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (!*text || *end || errno == ERANGE || text[0] == '-' || value > 0xFFFFFFFFull) return false;
  bytes = static_cast<unsigned long>(value);
  return true;
}

struct Command {
  bool help = false;
  bool encoding = false;
  int answer = 0;  // 1: an answer, 2: a streamed answer
  std::string output;
  bool thresholdGiven = false;
  unsigned long threshold = 0;
  bool decodeBudgetGiven = false;
  std::uint64_t decodeBudget = dravtools::kDefaultDecodeBudget;
  std::vector<std::string> words;  // the values to encode, or the one input file
};

// Options may come before, between or after the words, as users write them;
// "--" ends the options, for a file whose name begins with '-'. Returns 0, or
// the exit code after saying what is wrong.
int parseCommandLine(int argc, char** argv, Command& command) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      command.words.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      command.help = true;
    } else if (arg == "--answer" || arg == "--streamed-answer") {
      command.answer = arg == "--answer" ? 1 : 2;
    } else if (arg == "--encode") {
      command.encoding = true;
    } else if (arg == "--output" || arg == "-o") {
      if (++i == argc) return fail(arg + " needs a file name", 2);
      command.output = argv[i];
    } else if (arg == "--threshold") {
      if (++i == argc || !parseThreshold(argv[i], command.threshold))
        return fail("--threshold needs a byte count from 0 to 4294967295", 2);
      command.thresholdGiven = true;
    } else if (arg == dravtools::kDecodeBudgetOption) {
      if (++i == argc || !dravtools::parseDecodeBudget(argv[i], command.decodeBudget))
        return fail(arg + " needs " + dravtools::kDecodeBudgetRange, 2);
      command.decodeBudgetGiven = true;
    } else {
      return fail("unknown option " + arg + " (see --help)", 2);
    }
  }
  if (command.encoding && command.answer) return fail("--encode writes a body; --answer and --streamed-answer read one", 2);
  if (!command.encoding && (!command.output.empty() || command.thresholdGiven))
    return fail("--output and --threshold go with --encode", 2);
  if (command.encoding && command.decodeBudgetGiven) return fail("--decode-budget goes with reading, not --encode", 2);
  if (!command.encoding && command.words.size() > 1) return fail("only one input file (see --help)", 2);
  return 0;
}

int run(int argc, char** argv) {
  Command command;
  if (int refused = parseCommandLine(argc, argv, command)) return refused;
  if (command.help) {
    std::cout << kUsage << dravtools::valueSyntaxHelp();
    return 0;
  }
  if (command.encoding) {
    if (command.thresholdGiven) DRAVCompression::DRAVCompressedData::setCompressionThreshold(command.threshold);
    // A body written to be looked at or replayed: every binary value at or
    // above the threshold compressed, whatever a sample of it would say.
    DRAVCompression::DRAVCompressedData::setCompressionChoice(DRAVCompression::DRAVCompressionChoice::Always);
    return encode(command.words, command.output);
  }
  const std::string input = command.words.empty() ? "-" : command.words[0];
  if (command.answer) return dumpAnswer(input, command.answer == 2, command.decodeBudget);
  return dump(input, command.decodeBudget);
}

}  // namespace

int main(int argc, char** argv) {
  int code;
  try {
    code = run(argc, argv);
  } catch (const std::exception& e) {
    code = fail(e.what());
  }
  // What was printed is only delivered once it is flushed: a full disk or a
  // closed pipe is a failure too.
  std::cout.flush();
  if (!std::cout && code == 0) return fail(std::string("cannot write to standard output: ") + std::strerror(errno));
  return code;
}
