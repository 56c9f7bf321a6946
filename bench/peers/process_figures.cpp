#include "process_figures.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace peers {

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double cpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses: count fields after the last ')'.
  const auto end = text.rfind(')');
  if (end == std::string::npos) throw std::runtime_error("no process " + std::to_string(pid));
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3, utime 14 and stime 15.
  for (int at = 3; at <= 15 && fields >> field; ++at) {
    if (at == 14) utime = std::stoull(field);
    if (at == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint64_t memoryOf(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const std::string wanted = std::string(field) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, wanted.size(), wanted) == 0) return std::stoull(line.substr(wanted.size())) * 1024;
  throw std::runtime_error(std::string("no ") + field + " for process " + std::to_string(pid));
}

void resetPeakMemory(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5\n";
  if (!out.flush()) throw std::runtime_error("cannot reset the peak memory of process " + std::to_string(pid));
}

std::uint64_t bytesToAndFromPort(unsigned port) {
  const std::string command = "ss -tinH state established dst 127.0.0.1:" + std::to_string(port) + " 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> ss(popen(command.c_str(), "r"), pclose);
  if (!ss) throw std::runtime_error("cannot run ss");
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, ss.get())) > 0;) text.append(buffer, n);
  static const std::regex counter(R"(\bbytes_(sent|received):(\d+))");
  std::uint64_t bytes = 0;
  for (std::sregex_iterator it(text.begin(), text.end(), counter), end; it != end; ++it)
    bytes += std::stoull((*it)[2]);
  return bytes;
}

unsigned portOf(const std::string& address) {
  static const std::regex hostPort(R"(^(?:[a-z]+://)?[^/:]+:(\d+)(?:/.*)?$)");
  std::smatch match;
  if (!std::regex_match(address, match, hostPort)) throw std::runtime_error("no port in '" + address + "'");
  return static_cast<unsigned>(std::stoul(match[1]));
}

}  // namespace peers
