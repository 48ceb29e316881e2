// The tests' own allocator (defined in session_test.cpp), for the tests
// of every file: it can fail on demand, and can watch for secrets left in
// freed memory.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// After this many more allocations on this thread, every one throws;
// negative means never.
extern thread_local long g_allocationsLeft;
// The bytes this thread asked for.
extern thread_local size_t g_bytesAllocated;
// While set, each block this thread frees that still holds one of these
// counts in g_secretsFreed.
extern thread_local const std::vector<std::string>* g_secrets;
extern thread_local int g_secretsFreed;
