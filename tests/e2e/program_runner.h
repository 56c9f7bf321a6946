// Running the built programs (dravbridge, dravcall) as a user would, in
// processes of their own, with a time limit, capturing what they print and
// their peak memory. Not a shell: arguments go to the program as given.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

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

private:
  int pid_ = -1;
  int outFd_ = -1;
  std::string out_;
};

}  // namespace e2e
