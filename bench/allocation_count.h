// Counts the operator new calls of the threads that ask for it. Linking this
// in replaces the program's global operator new and delete.
#pragma once

#include <cstdint>

// Starts or stops counting the calling thread's allocations.
void count_this_thread_allocations(bool on);

// Allocations counted since the last reset, from every counting thread.
uint64_t counted_allocations();
void reset_counted_allocations();
