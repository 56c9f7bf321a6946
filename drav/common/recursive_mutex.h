// The recursive mutex the library locks its process-wide state with (the
// initialisation count, the client core). A thread may lock it again while
// it holds it; it is not a reader/writer or timed lock.
#pragma once

#include <mutex>

// Lock and unlock through std::lock_guard / std::unique_lock.
using RecursiveMutex = std::recursive_mutex;
