#include "platform/os/random_bytes.h"

#include <sys/random.h>

#include <cerrno>

namespace os {

bool FillRandom(void* buffer, size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::getrandom(at, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace os
