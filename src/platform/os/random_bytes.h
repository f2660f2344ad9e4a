// The one source of random bytes: the kernel's (getrandom). GUIDs, access
// codes and API keys, operator session tokens, the gateway's request ids, the
// card key and its nonces and temporary file names all come from here.
#pragma once

#include <cstddef>

namespace os {

// Fills `size` bytes at `buffer`; false when the kernel gives none (the
// caller decides whether that is an error). Waits only while the kernel's
// pool is not yet ready, early at boot.
bool FillRandom(void* buffer, size_t size);

}  // namespace os
