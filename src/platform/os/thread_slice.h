// How long the calling thread may run before the scheduler lets another take
// its core (its slice). A thread that others of the process wait for asks for
// the shortest slice while they wait: the scheduler then runs it as soon as it
// wakes (from an fdatasync, say) instead of after the thread running there has
// used up its own, longer slice. Its share of the CPU stays the same. Kernels
// that take no slice from a program (before Linux 6.12) leave things as they are.
#pragma once

#include <cstdint>

namespace os {

// Asks for the shortest slice; false for a thread of another scheduling policy
// than the normal one, or when the kernel refuses.
bool ShortenSlice();
// The scheduler's default slice again, the thread's nice value kept.
void RestoreSlice();
// The calling thread's slice in nanoseconds as the kernel reports it (0 where it reports none).
uint64_t SliceOfThisThread();

}  // namespace os
