#include "ordexa/payment/card_vault.h"

#include <sodium.h>
#include <sys/stat.h>

#include <mutex>
#include <system_error>
#include <vector>

#include "platform/automation/error.h"
#include "platform/config/configuration.h"
#include "platform/os/durable_file.h"
#include "platform/os/random_bytes.h"
#include "platform/os/scope_guard.h"

namespace ordexa {
namespace {

const char* kSource = "Ordexa.CardVault";

void InitSodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0) ole::Raise(kCardKeyError, "The cryptography library cannot start", kSource);
    });
}

// The key of the installation, read from its file on every use: a key copied
// in by an operator counts at once, and no key outlives the call in memory.
std::vector<unsigned char> ReadKey() {
    InitSodium();
    std::string path = CardKeyFile().string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        ole::Raise(kCardKeyError,
                   "The card key " + path + " is missing: `backoffice init` makes it for a new database; a host "
                   "that shares a database needs a copy of the key file of the first host",
                   kSource);
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ole::Raise(kCardKeyError, "The card key " + path + " may be read by others than its owner: make it 0600", kSource);
    std::string text;
    try {
        text = os::ReadRegularFile(path);
    } catch (const std::system_error& e) {
        ole::Raise(kCardKeyError, std::string("The card key cannot be read: ") + e.what(), kSource);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    std::vector<unsigned char> key(crypto_secretbox_KEYBYTES);
    size_t length = 0;
    if (text.size() != 2 * crypto_secretbox_KEYBYTES ||
        sodium_hex2bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0 ||
        length != key.size())
        ole::Raise(kCardKeyError, "The card key " + path + " is not 64 hexadecimal digits", kSource);
    sodium_memzero(text.data(), text.size());
    return key;
}

}  // namespace

std::filesystem::path CardKeyFile() {
    auto installations = qx::InstallationsFromEnvironment();
    if (installations.empty()) ole::Raise(kCardKeyError, "No installation is set (VENDALO_HOME)", kSource);
    return std::filesystem::path(installations.front().ConfigFolder) / "card.key";
}

bool EnsureCardKeyFile(const std::filesystem::path& home) {
    InitSodium();
    std::filesystem::path file = home / "config" / "card.key";
    if (std::filesystem::exists(file)) return false;
    unsigned char key[crypto_secretbox_KEYBYTES];
    if (!os::FillRandom(key, sizeof key)) ole::Raise(kCardKeyError, "No random bytes for a card key", kSource);
    char hex[2 * crypto_secretbox_KEYBYTES + 1];
    sodium_bin2hex(hex, sizeof hex, key, sizeof key);
    auto wipe = os::ScopeGuard([&] {
        sodium_memzero(key, sizeof key);
        sodium_memzero(hex, sizeof hex);
    });
    os::WriteFileAtomically(file.string(), std::string(hex) + "\n", 0600);
    return true;
}

std::string SealCardNumber(const std::string& number) {
    std::vector<unsigned char> key = ReadKey();
    auto wipe = os::ScopeGuard([&] { sodium_memzero(key.data(), key.size()); });
    std::vector<unsigned char> sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + number.size());
    if (!os::FillRandom(sealed.data(), crypto_secretbox_NONCEBYTES))
        ole::Raise(kCardKeyError, "No random bytes for a card number's nonce", kSource);
    crypto_secretbox_easy(sealed.data() + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(number.data()), number.size(), sealed.data(),
                          key.data());
    std::string text(sodium_base64_ENCODED_LEN(sealed.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), sealed.data(), sealed.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.find('\0'));
    return text;
}

std::string UnsealCardNumber(const std::string& sealed, const std::string& orderId) {
    std::vector<unsigned char> key = ReadKey();
    auto wipe = os::ScopeGuard([&] { sodium_memzero(key.data(), key.size()); });
    std::vector<unsigned char> box(sealed.size());
    size_t length = 0;
    if (sodium_base642bin(box.data(), box.size(), sealed.data(), sealed.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        ole::Raise(kCardKeyError, "The sealed card number of order " + orderId + " is damaged", kSource);
    std::string number(length - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(number.data()),
                                   box.data() + crypto_secretbox_NONCEBYTES, length - crypto_secretbox_NONCEBYTES,
                                   box.data(), key.data()) != 0)
        ole::Raise(kCardKeyError,
                   "The card key " + CardKeyFile().string() + " does not open the sealed card number of order " +
                       orderId + " (the key of another database, or a damaged value)",
                   kSource);
    return number;
}

}  // namespace ordexa
