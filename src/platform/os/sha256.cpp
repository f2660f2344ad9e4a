#include "platform/os/sha256.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/automation/error.h"

namespace os {

namespace {

[[noreturn]] void Fail() { ole::Raise(ole::err::DeviceIOError, "A SHA-256 cannot be computed", "SHA-256"); }

// The provider's SHA-256, fetched once: EVP_sha256() is looked up again at every
// initialisation, which costs more than hashing a basket's answer.
const EVP_MD* Algorithm() {
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!algorithm) Fail();
    return algorithm;
}

std::string HexOf(const unsigned char* digest, unsigned int size) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex(size * 2, '\0');
    for (unsigned int i = 0; i < size; ++i) {
        hex[2 * i] = kHex[digest[i] >> 4];
        hex[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

std::string Sha256Hex(std::string_view bytes) {
    // one context per thread, initialised again for each digest
    thread_local std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!context || EVP_DigestInit_ex2(context.get(), Algorithm(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
        Fail();
    return HexOf(digest, size);
}

Sha256::Sha256() : context_(nullptr) {
    const EVP_MD* algorithm = Algorithm();
    context_ = EVP_MD_CTX_new();
    if (!context_ || EVP_DigestInit_ex2(context_, algorithm, nullptr) != 1) {
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
