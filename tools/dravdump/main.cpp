// dravdump: prints the values of a serialized argument body, or encodes one
// from typed values given on the command line.
#include "answer_dump.h"
#include "body_dump.h"
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
#include <iterator>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

const char* const kUsage =
    "Usage: dravdump [FILE]\n"
    "       dravdump --answer|--streamed-answer [FILE]\n"
    "       dravdump --encode [--output FILE] [--threshold BYTES] VALUE...\n"
    "       dravdump --help\n"
    "\n"
    "Without --encode, prints the values of a serialized argument body read from\n"
    "FILE (or standard input when FILE is missing or -), one line per value:\n"
    "index, kind, value. Binary values show their length and first bytes, after\n"
    "decompression when they were stored compressed.\n"
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

bool readAll(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
  if (path == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

int dump(const std::string& path) {
  std::vector<unsigned char> body;
  std::string error;
  if (!readAll(path, body, error)) return fail(error);
  try {
    unsigned long rest =
        dravtools::dumpArgumentBody(body.data(), static_cast<unsigned long>(body.size()), std::cout);
    if (rest) std::cout << "(" << rest << " more bytes follow the values)\n";
  } catch (const std::exception& e) {
    return fail(std::string("malformed body: ") + e.what());
  }
  return 0;
}

int dumpAnswer(const std::string& path, bool streamed) {
  std::vector<unsigned char> body;
  std::string error;
  if (!readAll(path, body, error)) return fail(error);
  try {
    dravtools::dumpAnswer(body.data(), static_cast<unsigned long>(body.size()), streamed, std::cout);
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
    if (!std::cout) return fail("cannot write to standard output");
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

}  // namespace

int main(int argc, char** argv) {
  bool encoding = false;
  int answer = 0;  // 1: an answer, 2: a streamed answer
  std::string output;
  std::string input = "-";
  std::vector<std::string> values;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage << dravtools::valueSyntaxHelp();
      return 0;
    } else if (arg == "--answer" || arg == "--streamed-answer") {
      answer = arg == "--answer" ? 1 : 2;
    } else if (arg == "--encode") {
      encoding = true;
    } else if (arg == "--output" || arg == "-o") {
      if (++i == argc) return fail(arg + " needs a file name", 2);
      output = argv[i];
    } else if (arg == "--threshold") {
      unsigned long bytes;
      if (++i == argc || !parseThreshold(argv[i], bytes)) return fail("--threshold needs a byte count", 2);
      DRAVCompression::DRAVCompressedData::setCompressionThreshold(bytes);
    } else if (arg.size() > 1 && arg[0] == '-' && arg.rfind("--", 0) == 0) {
      return fail("unknown option " + arg + " (see --help)", 2);
    } else if (encoding) {
      values.push_back(arg);
    } else if (input == "-") {
      input = arg;
    } else {
      return fail("only one input file (see --help)", 2);
    }
  }
  if (encoding) return encode(values, output);
  if (answer) return dumpAnswer(input, answer == 2);
  return dump(input);
}
