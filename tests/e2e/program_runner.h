// Running the built programs (dravbridge, dravcall) as a user would, in
// processes of their own, with a time limit, capturing what they print and
// their peak memory. Not a shell: arguments go to the program as given.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// What a program may hold beyond its idle memory while it moves a large
// transfer through. A sanitizer keeps freed memory in quarantine and adds
// shadow memory: its figures say nothing about the programs, so the bound
// holds in plain builds only.
#if defined(__SANITIZE_ADDRESS__)
#define DRAV_E2E_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DRAV_E2E_SANITIZED 1
#endif
#endif
#ifdef DRAV_E2E_SANITIZED
constexpr std::uint64_t kMemoryBound = ~0ull >> 1;
#else
constexpr std::uint64_t kMemoryBound = 64ull * 1024 * 1024;
#endif

struct ProgramResult {
  int exitCode = -1;  // -1: it did not end by itself within its time (it was killed)
  std::string out;
  std::string err;
  long peakKiB = 0;   // the largest resident set it had
};

// Runs `program` with `arguments` and waits for it, at most `limit`.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         std::chrono::milliseconds limit = 60s);

// A program left running in the background until stop().
class BackgroundProgram {
public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& arguments);
  ~BackgroundProgram();  // stops it if still running
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // Waits at most `limit` for a line of standard output that starts with
  // `prefix`; the rest of that line, or "" when none came.
  std::string waitForLine(const std::string& prefix, std::chrono::milliseconds limit = 10s);
  // SIGTERM, then waits (SIGKILL after `limit`); the program's own account.
  ProgramResult stop(std::chrono::milliseconds limit = 10s);
  int pid() const { return pid_; }

private:
  int pid_ = -1;
  int outFd_ = -1;
  std::string out_;
};

// The largest resident set the running process `pid` has had so far, in
// KiB (VmHWM); 0 when it cannot be read.
long peakResidentKiB(int pid);

}  // namespace e2e
