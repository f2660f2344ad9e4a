#include "platform/os/thread_slice.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace os {
namespace {

// The kernel's struct sched_attr as first published (48 bytes); the C library
// offers no call for it on every system this builds on.
struct SchedAttributes {
    uint32_t size = sizeof(SchedAttributes);
    uint32_t policy = 0;
    uint64_t flags = 0;
    int32_t nice = 0;
    uint32_t priority = 0;
    uint64_t runtime = 0;  // for a normal thread: its slice (0 asks for the default)
    uint64_t deadline = 0;
    uint64_t period = 0;
};

constexpr uint64_t kShortestSliceNs = 100'000;  // the kernel's lower bound

bool Read(SchedAttributes& attributes) {
    return ::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) == 0;
}

bool SetSlice(uint64_t nanoseconds) {
    SchedAttributes attributes;
    if (!Read(attributes) || attributes.policy != SCHED_OTHER) return false;
    SchedAttributes changed;  // the policy and nice value as they are
    changed.nice = attributes.nice;
    changed.runtime = nanoseconds;
    return ::syscall(SYS_sched_setattr, 0, &changed, 0) == 0;
}

}  // namespace

bool ShortenSlice() { return SetSlice(kShortestSliceNs); }

void RestoreSlice() { SetSlice(0); }

uint64_t SliceOfThisThread() {
    SchedAttributes attributes;
    return Read(attributes) ? attributes.runtime : 0;
}

}  // namespace os
