// Helpers for tests that start real programs on this machine (a proxy, a web
// server): finding the program, a free port of 127.0.0.1 for it, and whether
// it listens yet. POSIX hosts only.
#pragma once

#ifndef _WIN32
#include <string>

namespace drav_test {

// The program `name` on PATH or in the usual system folders (sbin included,
// where servers live); false when there is none.
bool executableOnPath(const std::string& name, std::string& path);

// A port nobody listens on right now (the program binds it a moment later).
unsigned short freePort();

// True when something accepts connections on 127.0.0.1:`port`.
bool accepting(unsigned short port);

}  // namespace drav_test
#endif
