// Card numbers at rest. The payment logs keep a card number twice: masked (its
// last four digits) in CUSTOMER_CC_NUMBER, and sealed in CUSTOMER_CC_SEALED,
// for the authorisations the payment run must send again later. Sealing is
// libsodium's crypto_secretbox (XSalsa20-Poly1305) with a random nonce per
// number, under one key per database: config/card.key of the installation
// (64 hexadecimal digits, owner-only 0600). Installations that share a
// database must hold the same key file; a copy goes to every host, as the
// membership access code does.
//
// A number is unsealed only to build a gateway request, and never written to
// a log, an error text or a file. A box that the key does not open is an
// error that names the order, never a crash or a wrong number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace ordexa {

// Raised when config/card.key is missing, unreadable or readable by others, or
// when a sealed number cannot be opened with it.
constexpr int32_t kCardKeyError = static_cast<int32_t>(0x80040501u);

// Makes <home>/config/card.key with a new random key when it is missing
// (written atomically, mode 0600); returns true when it made one. An existing
// key is never replaced. `backoffice init` calls it for a new database, and
// an upgrade of an installation calls it too; a second host on a database
// that already has sealed numbers must get a copy of the first host's file instead.
bool EnsureCardKeyFile(const std::filesystem::path& home);

// The key file of the main installation (VENDALO_HOME).
std::filesystem::path CardKeyFile();

// Seals a card number with the installation's key: base64 of nonce and box.
std::string SealCardNumber(const std::string& number);
// Opens a sealed number; raises kCardKeyError naming the order when the key
// does not open it (another database's key, a damaged value).
std::string UnsealCardNumber(const std::string& sealed, const std::string& orderId);

}  // namespace ordexa
