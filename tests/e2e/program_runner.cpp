#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace e2e {

namespace {

// Starts `program`; its standard output and error go to the pipes' write ends.
int spawn(const std::string& program, const std::vector<std::string>& arguments, int outFd, int errFd) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  return pid;
}

int msLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// Reads what is ready on `fd` into `into`; false at its end.
bool drain(int fd, std::string& into) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void reap(int pid, ProgramResult& result) {
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) == pid) {
    result.peakKiB = usage.ru_maxrss;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  }
}

}  // namespace

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds limit) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("no pipe");
  const int pid = spawn(program, arguments, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool outOpen = true, errOpen = true, killed = false;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, msLeft(deadline)) <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (fds[0].revents && !drain(out[0], result.out)) outOpen = false;
    if (fds[1].revents && !drain(err[0], result.err)) errOpen = false;
  }
  close(out[0]);
  close(err[0]);
  reap(pid, result);
  if (killed) result.exitCode = -1;
  return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program, const std::vector<std::string>& arguments) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("no pipe");
  const int errFd = open("/dev/null", O_WRONLY);
  pid_ = spawn(program, arguments, out[1], errFd);
  close(out[1]);
  close(errFd);
  outFd_ = out[0];
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) stop(2s);
  if (outFd_ >= 0) close(outFd_);
}

std::string BackgroundProgram::waitForLine(const std::string& prefix, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    for (std::size_t start = 0, end; (end = out_.find('\n', start)) != std::string::npos; start = end + 1)
      if (out_.compare(start, prefix.size(), prefix) == 0) return out_.substr(start + prefix.size(), end - start - prefix.size());
    pollfd wait = {outFd_, POLLIN, 0};
    if (poll(&wait, 1, msLeft(deadline)) <= 0 || !drain(outFd_, out_)) return std::string();
  }
}

ProgramResult BackgroundProgram::stop(std::chrono::milliseconds limit) {
  ProgramResult result;
  if (pid_ <= 0) return result;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // waitid(), as waitpid() takes no WNOWAIT: the program stays to be reaped below.
  const auto ended = [this] {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
  };
  while (!ended() && msLeft(deadline) > 0) usleep(10000);
  if (!ended()) kill(pid_, SIGKILL);
  while (drain(outFd_, out_)) {
  }
  reap(pid_, result);
  result.out = out_;
  pid_ = -1;
  return result;
}

long peakResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace e2e
