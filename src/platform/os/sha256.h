// The SHA-256 of bytes as 64 lower-case hexadecimal digits: what the export
// journal compares files by, and what the HTTP host keeps instead of an API
// key or a request body.
#pragma once

#include <string>
#include <string_view>

struct evp_md_ctx_st;  // OpenSSL's digest context

namespace os {

// Raises (DeviceIOError) only when the library cannot compute a digest at all.
std::string Sha256Hex(std::string_view bytes);

// The SHA-256 of bytes given in pieces: Add each piece in order, then Hex.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Add(std::string_view bytes);
    std::string Hex();  // the digest in lower-case hex; the object is spent

private:
    ::evp_md_ctx_st* context_;
};

}  // namespace os
