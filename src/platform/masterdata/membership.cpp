#include "platform/masterdata/membership.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/automation/component.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "platform/data/ado.h"
#include "platform/masterdata/business_partner.h"
#include "platform/os/random_bytes.h"

namespace qx {
namespace {

const char* kSource = "qxmembership.members";
const char* kScheme = "pbkdf2-sha256";
constexpr int kIterations = 600000;  // current recommendation for PBKDF2-HMAC-SHA256
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::vector<unsigned char> RandomBytes(size_t n) {
    std::vector<unsigned char> bytes(n);
    if (!os::FillRandom(bytes.data(), n))
        ole::Raise(ole::err::AutomationFailure, "No random bytes are available", kSource);
    return bytes;
}

std::string Hex(const unsigned char* data, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::vector<unsigned char> Derive(const std::string& code, const std::string& salt, int iterations) {
    std::vector<unsigned char> key(kHashBytes);
    if (PKCS5_PBKDF2_HMAC(code.data(), static_cast<int>(code.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), static_cast<int>(key.size()), key.data()) != 1)
        ole::Raise(ole::err::AutomationFailure, "The access code could not be hashed", kSource);
    return key;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
}

class MembershipUser : public IMembershipUser {
public:
    MembershipUser(std::string id, std::string commonName) : id_(std::move(id)), commonName_(std::move(commonName)) {}
    std::string UserID() override { return id_; }
    std::string CommonName() override { return commonName_; }
    std::string FirstName() override { return commonName_.substr(0, commonName_.find(' ')); }
    std::string LastName() override {
        size_t blank = commonName_.find(' ');
        return blank == std::string::npos ? "" : Trim(commonName_.substr(blank + 1));
    }

private:
    std::string id_, commonName_;
};

class Membership : public IMembership {
public:
    void Initialize(const std::string& siteConfigurationPath) override {
        auto config = ole::CreateObjectAs<IConfiguration>("Qxcore.Configuration");
        config->LoadFile(siteConfigurationPath);
        try {
            ldapRoot_ = Trim(config->GetValue("MEMBERSHIP", "LDAPRoot").Text());
        } catch (const ole::AutomationError& e) {
            if (e.Number() != config_err::SettingNotFound) throw;
            ldapRoot_.clear();
        }
        initialized_ = true;
        loggedOn_ = false;
    }

    void Logon(const std::string& account, const std::string& accessCode) override {
        if (!initialized_)
            ole::Raise(membership_err::NotInitialized, "The membership directory is not initialized", kSource);
        loggedOn_ = false;
        // "user,<LDAPRoot>" names the user within the directory's root.
        std::string userId = account;
        if (!ldapRoot_.empty() && ole::EndsWithNoCase(account, "," + ldapRoot_))
            userId = account.substr(0, account.size() - ldapRoot_.size() - 1);
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT PASSWORDSALT, PASSWORDHASH FROM WEBUSER WHERE USERID = ?", nullptr, -1, {userId});
        bool ok = !rs->Eof() &&
                  VerifyAccessCode(accessCode, rs->Fields(0).Value().Text(), rs->Fields(1).Value().Text());
        c->Close();
        // The same answer for an unknown account and a wrong code; the code itself is never repeated.
        if (!ok) ole::Raise(membership_err::LogonFailed, "Logon failed for account '" + account + "'", kSource);
        loggedOn_ = true;
    }

    MembershipUserPtr GetUser(const std::string& userId) override {
        if (!loggedOn_) ole::Raise(membership_err::NotLoggedOn, "Not logged on to the membership directory", kSource);
        auto c = ado::OpenConnection(MasterDataConnectionString());
        auto rs = c->Execute("SELECT COMMONNAME FROM WEBUSER WHERE USERID = ?", nullptr, -1, {userId});
        bool found = !rs->Eof();
        std::string commonName = found ? rs->Fields(0).Value().Text() : "";
        c->Close();
        if (!found) ole::Raise(membership_err::UserNotFound, "User '" + userId + "' not found", kSource);
        return std::make_shared<MembershipUser>(userId, commonName);
    }

private:
    bool initialized_ = false;
    bool loggedOn_ = false;
    std::string ldapRoot_;
};

}  // namespace

AccessCodeHash HashAccessCode(const std::string& accessCode) {
    auto saltBytes = RandomBytes(kSaltBytes);
    AccessCodeHash result;
    result.salt = Hex(saltBytes.data(), saltBytes.size());
    auto key = Derive(accessCode, result.salt, kIterations);
    result.hash = std::string(kScheme) + "$" + std::to_string(kIterations) + "$" + Hex(key.data(), key.size());
    return result;
}

bool VerifyAccessCode(const std::string& accessCode, const std::string& salt, const std::string& hash) {
    // "<scheme>$<iterations>$<hex>"; anything else (an account without a code) never matches
    size_t first = hash.find('$');
    size_t second = first == std::string::npos ? std::string::npos : hash.find('$', first + 1);
    if (second == std::string::npos || hash.substr(0, first) != kScheme || salt.empty()) return false;
    std::string count = hash.substr(first + 1, second - first - 1);
    if (count.empty() || count.size() > 8 || !std::all_of(count.begin(), count.end(), ::isdigit)) return false;
    int iterations = std::stoi(count);
    if (iterations < 1) return false;
    std::string expected = hash.substr(second + 1);
    if (expected.size() != kHashBytes * 2) return false;
    auto key = Derive(accessCode, salt, iterations);
    std::string actual = Hex(key.data(), key.size());
    return CRYPTO_memcmp(actual.data(), expected.data(), actual.size()) == 0;
}

std::string NewAccessCode() {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string code;
    while (code.size() < 24)
        for (unsigned char b : RandomBytes(32))
            if (b < 248 && code.size() < 24) code += alphabet[b % alphabet.size()];  // 248 = 4 * 62: no bias
    return code;
}

void RegisterMembership() { ole::RegisterClass<Membership>("qxmembership.members"); }

}  // namespace qx
