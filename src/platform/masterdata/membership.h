// The membership directory (ProgID "qxmembership.members"): web shop users in
// the table WEBUSER. Access codes are kept only as salted PBKDF2-HMAC-SHA256
// hashes and never written anywhere in clear, the log included.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/automation/variant.h"

namespace qx {

namespace membership_err {
constexpr int32_t LogonFailed = static_cast<int32_t>(0x80040220u);     // unknown account or wrong access code
constexpr int32_t NotLoggedOn = static_cast<int32_t>(0x80040221u);     // a lookup before a successful Logon
constexpr int32_t UserNotFound = static_cast<int32_t>(0x80040222u);
constexpr int32_t NotInitialized = static_cast<int32_t>(0x80040223u);  // Logon before Initialize
}  // namespace membership_err

class IMembershipUser : public ole::Object {
public:
    virtual std::string UserID() = 0;
    virtual std::string CommonName() = 0;
    // The common name's first word and the rest ("Jan de Vries": "Jan", "de Vries").
    virtual std::string FirstName() = 0;
    virtual std::string LastName() = 0;
};
using MembershipUserPtr = std::shared_ptr<IMembershipUser>;

class IMembership : public ole::Object {
public:
    // Reads the directory's settings (section MEMBERSHIP, key LDAPRoot) from SiteConfiguration.xml.
    virtual void Initialize(const std::string& siteConfigurationPath) = 0;
    // Logs on with an account ("user", or "user," + LDAPRoot) and its access code; raises LogonFailed.
    virtual void Logon(const std::string& account, const std::string& accessCode) = 0;
    // A user by id; raises UserNotFound for an unknown one.
    virtual MembershipUserPtr GetUser(const std::string& userId) = 0;
};

// The stored form of an access code: PASSWORDSALT and PASSWORDHASH of WEBUSER.
struct AccessCodeHash {
    std::string salt;  // 32 hexadecimal digits, new for every hash
    std::string hash;  // "pbkdf2-sha256$<iterations>$<64 hexadecimal digits>"
};
AccessCodeHash HashAccessCode(const std::string& accessCode);
// True when the code matches the stored form (compared in constant time).
bool VerifyAccessCode(const std::string& accessCode, const std::string& salt, const std::string& hash);
// A new random access code of 24 letters and digits (service accounts).
std::string NewAccessCode();

void RegisterMembership();  // "qxmembership.members"

}  // namespace qx
