// The SHA-256 of bytes as 64 lower-case hexadecimal digits: what the export
// journal compares files by, and what the HTTP host keeps instead of an API
// key or a request body.
#pragma once

#include <string>
#include <string_view>

namespace os {

// Raises (DeviceIOError) only when the library cannot compute a digest at all.
std::string Sha256Hex(std::string_view bytes);

}  // namespace os
