// dravcall: calls a method of a bridge through the client library (bridge
// proxy and call request) and prints the results and the invocation status.
#include "answer_dump.h"
#include "body_dump.h"
#include "call_options.h"
#include "method_check.h"
#include "progress_meter.h"
#include "value_syntax.h"

#include <drav/common/log_field.h>
#include <drav/config/endpoint_policy.h>
#include <drav/config/initialization.h>
#include <drav/platform/annal.h>
#include <drav/platform/win32.h>
#include <drav/serialization/output_stream.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/error_answer.h>
#include <drav/transport/http_request.h>
#include <drav/transport/sso_provider.h>
#include <drav/typed/answer_reading.h>
#include <drav/typed/method_table.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

using DRAV::detail::escapeLogField;
using DRAVTyped::AnswerReader;
using dravtools::CallOptions;
using dravtools::ProgressMeter;

constexpr int kBridgeReportedFailure = 1;
constexpr int kBadCommandLine = 2;
constexpr int kCallFailed = 3;
// A streamed value is held in memory only to print it; larger ones need --output.
constexpr std::uint64_t kMaxHeldValue = 64 * 1024 * 1024;
// A list answer is decoded from one buffer the input stream can address.
constexpr std::uint64_t kMaxListAnswer = 0x7FFFFFFF;
// What is shown of an answer that is not a bridge's answer (an HTTP error
// page), escaped: a longer page ends in \... there.
constexpr std::size_t kMaxErrorText = 1024;

int fail(int code, const std::string& message) {
  std::cerr << "dravcall: " << message << '\n';
  return code;
}

// A file mapped read-only for the length of the call; the pages are read as
// the transport sends them, never copied whole.
class MappedFile {
public:
  explicit MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      const std::string reason = std::strerror(errno);
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot read " + path + ": " + reason);
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    if (size_ > 0xFFFFFFFFull) {
      ::close(fd);
      throw std::runtime_error(path + " is larger than an extra blob can be (4 GiB - 1 bytes)");
    }
    if (size_ > 0) {
      void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (data == MAP_FAILED) data = nullptr;
      else ::madvise(data, size_, MADV_SEQUENTIAL);
      data_ = static_cast<unsigned char*>(data);
    }
    ::close(fd);
    if (size_ > 0 && !data_) throw std::runtime_error("cannot map " + path + ": " + std::strerror(errno));
  }
  ~MappedFile() {
    if (data_) ::munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  unsigned char* data() const { return data_; }  // only read by the transport
  unsigned long size() const { return static_cast<unsigned long>(size_); }

private:
  unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// While a call runs, the library's debugging lines on standard output go to
// standard error: standard output carries only the results.
class DebugLinesToStderr {
public:
  DebugLinesToStderr() : saved_(std::cout.rdbuf(std::cerr.rdbuf())) {}
  ~DebugLinesToStderr() { std::cout.rdbuf(saved_); }
  DebugLinesToStderr(const DebugLinesToStderr&) = delete;
  DebugLinesToStderr& operator=(const DebugLinesToStderr&) = delete;

private:
  std::streambuf* saved_;
};

// Trace lines at the level asked go to standard error (none unless asked:
// a failure ends in one line of dravcall's own, and the transport's retry
// lines would bury it); the transport's "request send : N bytes sent"
// lines also drive the upload meter.
void installTraceSink(int level, ProgressMeter* upload) {
  const Annal::Importance* shown = level >= 2 ? &Annal::XS : level == 1 ? &Annal::M : level == 0 ? &Annal::Error : nullptr;
  const Annal::Importance& lowest = shown ? *shown : Annal::Error;
  Annal::setLowestImportance(upload && lowest.level() > Annal::M.level() ? Annal::M : lowest);
  Annal::setSink([shown, upload](const Annal::Importance& importance, const std::string& line) {
    static const std::string kSent = "request send : ";
    if (upload && line.compare(0, kSent.size(), kSent) == 0)
      upload->update(std::strtoull(line.c_str() + kSent.size(), nullptr, 10));
    if (shown && importance.level() >= shown->level())
      std::cerr << '[' << importance.name() << "] " << line << '\n';
  });
}

// The credentials and proxy the "-DRAV..." options set, as the bridge proxy takes them.
AuthInfo credentialsFromOptions(const DRAVLookupPolicy& policy, const CallOptions& options) {
  AuthInfo info = policy.getAuthInfo();
  const DRAVHttpProxyInfo& proxy = policy.getHttpProxyInfo();
  if (!proxy.getProxyHost().empty()) {
    // The transport takes the system's proxy settings: here, the environment.
    const std::string port = proxy.getProxyPort().empty() ? std::string() : ":" + proxy.getProxyPort();
    setenv("http_proxy", ("http://" + proxy.getProxyHost() + port).c_str(), 1);
    setenv("https_proxy", ("http://" + proxy.getProxyHost() + port).c_str(), 1);
  }
  if (options.sso) info.ssoProvider("siteminder");
  if (!options.ssoUser.empty()) info.signOn(options.ssoUser, options.ssoPassword);
  return info;
}

std::string rootOf(Url url) { return url.uri("").toString(); }

// Opens the connection before the call so that the time-outs the options
// ask for apply to it (the transport sets its own defaults when it opens).
void applyTimeouts(DRAVBridgeProxy& proxy, const CallOptions& options, const DRAVLookupPolicy& policy) {
  if (!options.requestTimeoutGiven && !options.connectionTimeoutGiven) return;
  if (DRAVSsoProvider* sso = proxy.getSsoProvider()) sso->initialize(&proxy);
  if (!proxy.openConnection()) return;
  auto set = [&](DWORD option, unsigned long value) {
    DWORD ms = static_cast<DWORD>(value);
    InternetSetOptionW(proxy.getConnectionHandle(), option, &ms, sizeof ms);
  };
  if (options.connectionTimeoutGiven) set(INTERNET_OPTION_CONNECT_TIMEOUT, policy.getConnectionTimeout());
  if (options.requestTimeoutGiven) {
    set(INTERNET_OPTION_SEND_TIMEOUT, policy.getRequestTimeout());
    set(INTERNET_OPTION_RECEIVE_TIMEOUT, policy.getRequestTimeout());
  }
}

// Where the bytes of a streamed value go: the output file, or memory to print them.
class ValueTarget {
public:
  explicit ValueTarget(const std::string& path) : path_(path) {
    if (!path_.empty() && !(file_ = std::fopen(path_.c_str(), "wb")))
      throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(errno));
  }
  ~ValueTarget() {
    if (file_) std::fclose(file_);
  }
  ValueTarget(const ValueTarget&) = delete;
  ValueTarget& operator=(const ValueTarget&) = delete;

  void take(const unsigned char* data, std::size_t size) {
    if (file_) {
      if (std::fwrite(data, 1, size, file_) != size) throw std::runtime_error("cannot write " + path_);
      return;
    }
    if (held_.size() + size > kMaxHeldValue)
      throw std::runtime_error("the streamed value is larger than 64 MiB: save it with --output FILE");
    held_.insert(held_.end(), data, data + size);
  }
  // Closes the file; false when its last bytes could not be written.
  bool close() {
    const bool ok = !file_ || std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }
  std::vector<unsigned char>& held() { return held_; }

private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<unsigned char> held_;
};

// The index of the first binary result; the list's size when there is none.
unsigned long firstBinary(const DRAVArgs& results) {
  unsigned long i = 0;
  while (i < results.size() && results.getArgs()[i]->getType() != DRAVVar::BinaryArray) ++i;
  return i;
}

void saveBinary(const DRAVTypes::DRAVArray<unsigned char>& value, const std::string& path) {
  ValueTarget file(path);
  file.take(value.getData(), value.getLength());
  if (!file.close()) throw std::runtime_error("cannot write " + path);
}

// With --output, the first binary result is saved instead of printed.
void printResults(const DRAVArgs& results, const std::string& outputFile) {
  const unsigned long saved = outputFile.empty() ? results.size() : firstBinary(results);
  if (saved < results.size()) saveBinary(results.getBinaryArray(saved), outputFile);
  for (unsigned long i = 0; i < results.size(); ++i) {
    if (i == saved)
      std::cout << i << " BinaryArray " << results.getBinaryArray(i).getLength() << " bytes saved in " << outputFile
                << '\n';
    else
      std::cout << i << ' ' << dravtools::describeValue(*results.getArgs()[i]) << '\n';
  }
  if (!outputFile.empty() && saved == results.size())
    throw std::runtime_error("no binary result to save in " + outputFile);
}

// Signs on before the call, so that a refused sign-on ends the command
// instead of a call made without the session. A logon that brings no
// session back fails with the logon's answer.
void signOn(DRAVBridgeProxy& proxy, const CallOptions& options) {
  DRAVSsoProvider* sso = proxy.getSsoProvider();
  if (!sso) return;
  try {
    sso->initialize(&proxy);
  } catch (const HttpPostDataException& e) {
    throw std::runtime_error(std::string(e.what()) + " (check the user and password, " +
                             (options.ssoUser.empty() ? "-DRAVhttp_auth_user, -DRAVhttp_auth_pwd"
                                                      : "--sso-user, --sso-password") +
                             ", and --root-url)");
  }
}

// The description a method table answers dravDescribe with; empty when the
// bridge gives none.
std::string descriptionOf(DRAVBridgeProxy& proxy, const CallOptions& options) {
  DRAVArgs none;
  DRAVDataOutputStream body;
  none.writeObject(body);
  DRAVHttpRequestPtr request(proxy.createRequest());
  if (request->call(DRAVMethodTable::kDescribeMethod, reinterpret_cast<char*>(body.getBuffer(0)), body.size(), 0,
                    options.needSsoToken, StreamingNo, nullptr, 0) == 0 ||
      request->getCallStatus().httpCode() != 200)
    return "";
  AnswerReader reader(false, nullptr, kMaxListAnswer, dravtools::kDefaultDecodeBudget);
  char* piece = nullptr;
  for (unsigned long n; (n = request->receive(piece, options.readSize)) > 0;)
    reader.feed(reinterpret_cast<unsigned char*>(piece), n);
  if (request->failureCode() != 0) return "";  // cut off
  dravtools::decodeUnder(reader.budget(), [&] { reader.finish(); });
  const DRAVArgs& results = reader.results();
  if (reader.status().code != 0 || results.size() != 1 || results.getArgs()[0]->getType() != DRAVVar::String) return "";
  return results.getString(0);
}

int printAnswer(const AnswerReader& reader, ValueTarget& value, const CallOptions& options) {
  if (options.describe && reader.status().code == 0 && reader.results().size() == 1 &&
      reader.results().getArgs()[0]->getType() == DRAVVar::String) {
    // The host's text, a line at a time, without what a terminal would act on.
    std::istringstream lines(reader.results().getString(0));
    for (std::string line; std::getline(lines, line);) std::cout << DRAV::detail::escapeShownText(line) << '\n';
    std::cout << std::flush;
    return 0;
  }
  if (reader.streamed()) {
    if (options.outputFile.empty()) {
      std::vector<unsigned char>& bytes = value.held();
      DRAVVar shown(new DRAVTypes::DRAVArray<unsigned char>(bytes.data(), static_cast<unsigned long>(bytes.size()), true));
      std::cout << "0 " << dravtools::describeValue(shown) << '\n';
    } else {
      std::cout << "0 BinaryArray " << reader.valueSize() << " bytes saved in " << options.outputFile << '\n';
    }
  } else {
    printResults(reader.results(), options.outputFile);
  }
  std::cout << dravtools::describeStatus(reader.status()) << std::endl;
  return reader.status().code == 0 ? 0 : kBridgeReportedFailure;
}

int call(const CallOptions& options, int argc, char** argv) {
  DRAVInitialize library(argc, argv);
  const DRAVLookupPolicy policy;  // what the "-DRAV..." options set
  DRAVArgs args;
  try {
    for (const std::string& word : options.values) args.addArg(dravtools::parseValue(word));
  } catch (const std::exception& e) {
    return fail(kBadCommandLine, std::string("bad value ") + e.what());
  }
  DRAVDataOutputStream body;
  args.writeObject(body);
  std::unique_ptr<MappedFile> blob;
  std::unique_ptr<ValueTarget> value;
  try {
    if (!options.extraBlobFile.empty()) blob = std::make_unique<MappedFile>(options.extraBlobFile);
    value = std::make_unique<ValueTarget>(options.mode == StreamingOut || options.mode == StreamingInOut
                                              ? options.outputFile
                                              : std::string());
  } catch (const std::exception& e) {
    return fail(kCallFailed, e.what());
  }

  const bool showProgress = options.progress == 1 || (options.progress == -1 && isatty(STDERR_FILENO));
  ProgressMeter upload(std::cerr, "upload", showProgress);
  upload.setTotal(body.size() + (blob ? blob->size() : 0));
  installTraceSink(options.traceLevel, showProgress ? &upload : nullptr);

  const Url url(options.url);
  DRAVBridgeProxy proxy(options.bridge, url, credentialsFromOptions(policy, options));
  AnswerReader reader(options.mode == StreamingOut || options.mode == StreamingInOut,
                      [&value](const unsigned char* data, std::size_t size) { value->take(data, size); },
                      kMaxListAnswer, options.decodeBudget);
  try {
    proxy.init();
    proxy.rootUrl() = Url(options.rootUrl.empty() ? rootOf(url) : options.rootUrl);
    if (!options.cookies.empty()) proxy.setCookies(options.cookies);
    DebugLinesToStderr debugLines;
    try {
      signOn(proxy, options);
    } catch (const std::exception& e) {
      return fail(kCallFailed,
                  "single sign-on at " + proxy.rootUrl().toString() + " failed, no call made: " + e.what());
    }
    applyTimeouts(proxy, options, policy);
    if (options.check) {
      const std::string refusal = dravtools::checkAgainstDescription(descriptionOf(proxy, options), options.method, args);
      if (!refusal.empty()) return fail(kBadCommandLine, "not sent: " + refusal);
    }
    DRAVHttpRequestPtr request(proxy.createRequest());
    const unsigned long sent =
        request->call(options.method, reinterpret_cast<char*>(body.getBuffer(0)), body.size(), options.chunkSize,
                      options.needSsoToken, options.mode, blob ? blob->data() : nullptr, blob ? blob->size() : 0);
    if (sent == 0) return fail(kCallFailed, "the call to " + options.url + " failed: " + request->failureText());
    const CallStatus status = request->getCallStatus();
    if (status.httpCode() != 200)
      return fail(kCallFailed,
                  DRAVErrorAnswer::read(*request.get(), kMaxErrorText, options.readSize).describe(kMaxErrorText) +
                      (status.error().empty() ? std::string() : " (" + escapeLogField(status.error()) + ")"));
    ProgressMeter download(std::cerr, "download", showProgress);
    char* piece = nullptr;
    for (unsigned long n; (n = request->receive(piece, options.readSize)) > 0;) {
      reader.feed(reinterpret_cast<unsigned char*>(piece), n);
      if (reader.streamed()) download.setTotal(reader.valueSize());
      download.update(reader.received());
    }
    delete piece;
    if (request->failureCode() != 0)
      return fail(kCallFailed, "the answer was cut off after " + std::to_string(reader.received()) +
                                   " bytes: " + request->failureText());
    dravtools::decodeUnder(reader.budget(), [&] { reader.finish(); });
    if (!value->close()) return fail(kCallFailed, "cannot write " + options.outputFile);
  } catch (const dravtools::OverBudget& e) {
    return fail(kCallFailed, std::string("decoding the answer goes ") + e.what());
  } catch (const std::exception& e) {
    return fail(kCallFailed, std::string("the call failed: ") + e.what());
  }
  try {
    return printAnswer(reader, *value, options);
  } catch (const std::exception& e) {
    return fail(kCallFailed, e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CallOptions options;
  try {
    options = dravtools::parseCallOptions(argc, argv);
  } catch (const dravtools::UsageError& e) {
    return fail(kBadCommandLine, std::string(e.what()) + " (see --help)");
  }
  if (options.help) {
    std::cout << dravtools::callUsage() << dravtools::valueSyntaxHelp();
    return 0;
  }
  return call(options, argc, argv);
}
