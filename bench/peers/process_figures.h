// What the peer benchmark reads of the processes it measures, from /proc and
// the kernel's socket counters: CPU time, resident memory and its
// high-water mark, and the bytes a connection carried. Linux only.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace peers {

// CPU seconds (user and system, all threads) this process has used.
double ownCpuSeconds();
// The same for another process, from /proc/PID/stat.
double cpuSecondsOf(pid_t pid);

// A "VmRSS" or "VmHWM" line of /proc/PID/status, in bytes.
std::uint64_t memoryOf(pid_t pid, const char* field);
// Sets the process's high-water mark back to its present resident size.
void resetPeakMemory(pid_t pid);

// TCP payload bytes, both directions, of the established connections to
// 127.0.0.1:`port` (as `ss` reads them: bytes_sent and bytes_received of
// each client-side socket). Counts every process's connections to the port.
std::uint64_t bytesToAndFromPort(unsigned port);

// The port of "host:port" or "http://host:port/path".
unsigned portOf(const std::string& address);

}  // namespace peers
