#include "platform/os/sha256.h"

#include <openssl/evp.h>

#include "platform/automation/error.h"

namespace os {

namespace {

[[noreturn]] void Fail() { ole::Raise(ole::err::DeviceIOError, "A SHA-256 cannot be computed", "SHA-256"); }

std::string HexOf(const unsigned char* digest, unsigned int size) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) Fail();
    return HexOf(digest, size);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        Fail();
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::Add(std::string_view bytes) {
    if (EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1) Fail();
}

std::string Sha256::Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, digest, &size) != 1) Fail();
    return HexOf(digest, size);
}

}  // namespace os
