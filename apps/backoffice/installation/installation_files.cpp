#include "installation/installation_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <system_error>

#include <pugixml.hpp>

#include "http/host_settings.h"
#include "ordexa/exchange/exchange_folder_mode.h"
#include "ordexa/outside_calls.h"
#include "ordexa/payment/card_vault.h"
#include "ordexa/reqlink/reqlink.h"
#include "platform/automation/error.h"
#include "platform/data/ado.h"
#include "platform/data/sqlite_cache.h"
#include "platform/format/label_catalogue.h"
#include "platform/masterdata/membership.h"
#include "platform/os/durable_file.h"
#include "shared/lib_sales.h"

namespace backoffice {

namespace fs = std::filesystem;

namespace {

const char* kPayment = "DIRECTPAYMENT_PARAMETERS";
const char* kFreight = "FREIGHT_PARAMETERS";
const char* kGeneral = "GENERAL_PARAMETERS";
const char* kEdi = "EDI_PARAMETERS";
const char* kGateway = "PAYMENT_GATEWAY";
const char* kCardData = "CARD_DATA";
const char* kLog = "LOG";

// Defaults a new shop can start with, and the range a whole number may take;
// the administrators change them in the file.
const std::vector<qx::ConfigSetting> kSalesParameters = {
    // the gateway: a URL, or a host[:port] meaning https://host[:port]/; plain http only on loopback.
    // The default is the gateway simulator that `make run` starts for the demo.
    {kPayment, "CyberSource Serverhost", "String", "http://127.0.0.1:18490/"},
    {kPayment, "Authorization Hard Expiration", "Long", "168", 1, 8760},   // hours: a card authorisation lasts a week
    {kPayment, "Authorization Soft Expiration", "Long", "24", 1, 8760},
    {kPayment, "Reallocation", "Long", "24", 0, 8760},                     // hours between two allocation checks of a line
    {kPayment, "Creditcard Ordertype for Backend", "String", "CC"},
    {kPayment, "BackendSalesOrderType BillingStepNumber", "Long", "7", 0, 999},
    {kPayment, "InvoiceText", "String", "Paid by credit card"},
    {kFreight, "FreightPartNumber", "String", "FREIGHT"},
    {kFreight, "Freight Unit-code", "String", "PCS"},
    {kFreight, "Multiple Ship-from Zones", "Long", "0", 0, 1},
    {kFreight, "Ship-from Zone", "Long", "1", 0, INT32_MAX},
    {kGeneral, "CreditCardUse", "Long", "1", 0, 1},
    {kGeneral, "EnableFreight", "Long", "1", 0, 1},
    {kGeneral, "TaxSource", "String", "Web"},
    {kGeneral, "BIC Virtual Directory", "String", "/vendalo"},
    {kGeneral, "HomeOrganisation", "Long", "1", 1, INT32_MAX},
    {kGeneral, "SubmittedOrderListPage", "String", "/shop/orders/submitted"},
    {kGeneral, "EnableGetInventoryButton", "Long", "1", 0, 1},
    {kGeneral, "EnableATPCheckButtons", "Long", "1", 0, 1},
    {kEdi, "ConfirmationArchiveDays", "Long", "30", 0, 36500},  // applied confirmation files kept in archive/
    {kEdi, "ExportArchiveDays", "Long", "30", 0, 36500},        // copies of the export groups kept in archive/
    {kEdi, "ExchangeRetentionDays", "Long", "90", 1, 36500},    // rows of table EXCHANGE
    {kGeneral, "ShowTaxOnInvoiceOrders", "Long", "0", 0, 1},  // order forms of invoice orders show no tax
    // How the gateway is reached: CA certificates to verify it with (empty: the
    // system's), and time-outs in seconds for the connection and a whole request.
    {kGateway, "CAFile", "String", ""},
    {kGateway, "ConnectTimeout", "Long", "10", 1, 600},
    {kGateway, "RequestTimeout", "Long", "60", 1, 3600},
    // days after which a checkout authorisation whose basket was never submitted loses its sealed card number
    {kCardData, "UnsubmittedCheckoutDays", "Long", "30", 1, 36500},
    // the folders shared with the back end, which runs as another user of the group
    {ordexa::kExchangeSection, ordexa::kFolderModeSetting, "String", ordexa::kDefaultFolderModeText},
    // outside calls side by side: how many at once, minutes a host that did not answer is
    // skipped (0: never), seconds a broker acknowledgement may take (the stage ends within three)
    {ordexa::kOutsideCallsSection, ordexa::kOutsideCallsAtOnce, "Long", "8", 1, 64},
    {ordexa::kOutsideCallsSection, ordexa::kHostBackoffMinutes, "Long", "15", 0, 1440},
    {ordexa::kOutsideCallsSection, ordexa::kAcknowledgementTimeout, "Long", "10", 1, 600},
    // MiB of page cache per SQLite connection (PostgreSQL sizes its own)
    {ado::kDatabaseSection, ado::kSQLiteCacheSetting, "Long", std::to_string(ado::kSQLiteCacheMiBDefault),
     ado::kSQLiteCacheMiBMin, ado::kSQLiteCacheMiBMax},
    // the log: "text" lines or "json" lines, to the "file" log/vendalo.log or the systemd "journal";
    // the HTTP host's access log (relative to the installation)
    {kLog, "LogFormat", "String", "text"},
    {kLog, "LogTarget", "String", "file"},
    {kLog, "AccessLogFile", "String", "log/access.log"},
};

std::vector<std::string> MakeFolders(const InstallationContext& c) {
    std::vector<std::string> added;
    for (const char* folder : {"config", "data", "log", "Vendalo/TempEdiFtp"})
        if (fs::create_directories(c.home / folder)) added.push_back(std::string(folder) + "/");
    return added;
}

// Owner-only, also for a file an older version left readable by others.
void RestrictToOwner(const fs::path& file) {
    std::error_code ec;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
}

}  // namespace

std::vector<qx::ConfigSetting> VendaloSettings() {
    std::vector<qx::ConfigSetting> settings = kSalesParameters;
    for (const auto& s : HostSettingDefaults()) settings.push_back(s);
    return settings;
}

std::vector<qx::ConfigSetting> SiteSettings(const InstallationContext& context) {
    return {{"MEMBERSHIP", "MemScriptUser", "String", kServiceAccount},
            {"MEMBERSHIP", "MemScriptCode", "String", context.serviceCode},
            {"MEMBERSHIP", "LDAPRoot", "String", ""},
            {kApiSection, kShopApiKey, "String", NewApiKey()},
            {kApiSection, kOperatorApiKey, "String", NewApiKey()},
            // the requisition broker's key and what it allows; a new installation allows nothing
            // until the partners and the acknowledgement hosts are named
            {kApiSection, ordexa::kBrokerApiKey, "String", NewApiKey()},
            {kApiSection, ordexa::kBrokerPartners, "String", context.demo ? "2,3" : ""},
            {kApiSection, ordexa::kBrokerAcknowledgementHosts, "String", context.demo ? "127.0.0.1" : ""},
            {kApiSection, ordexa::kBrokerClientAddresses, "String", ""}};
}

// The label catalogues shipped with the system; a catalogue the installation has is kept as it is.
std::vector<std::string> MakeLabelCatalogues(const InstallationContext& c) {
    std::vector<std::string> added;
    std::string config = (c.home / "config").string();
    fs::create_directories(c.home / "config" / "labels");
    for (const auto& shipped : qx::ShippedLabelCatalogues()) {
        std::string file = qx::LabelCatalogueFile(config, shipped.locale);
        if (fs::exists(file)) continue;
        os::WriteFileAtomically(file, shipped.text, 0600);
        added.push_back(fs::path(file).filename().string());
    }
    return added;
}

// The key that seals card numbers is one per database: a new database gets a new
// one; an existing database whose payment logs already hold sealed numbers needs
// the key of the installation that sealed them, so none is made for it here.
std::vector<std::string> MakeCardKey(const InstallationContext& c) {
    if (fs::exists(c.home / "config" / "card.key")) return {};
    if (!c.newDatabase) {
        auto sealed = Sls_GetDisconnectedRecordset(
            "SELECT MERCHANT_REF_NUMBER FROM AUTHORIZATIONLOG WHERE CUSTOMER_CC_SEALED IS NOT NULL LIMIT 1",
            c.connectionString.empty() ? Sls_ConnectionString() : c.connectionString);
        if (!sealed->Eof())
            throw std::runtime_error("the database holds sealed card numbers but config/card.key is missing: copy "
                                     "config/card.key from the installation that sealed them");
    }
    return ordexa::EnsureCardKeyFile(c.home) ? std::vector<std::string>{"(new key)"} : std::vector<std::string>{};
}

const std::vector<InstallationPart>& InstallationParts() {
    static const std::vector<InstallationPart> parts = {
        {"folders", MakeFolders},
        {"config/labels", MakeLabelCatalogues},
        {"config/card.key", MakeCardKey},
        {"config/SiteConfiguration.xml",
         [](const InstallationContext& c) {
             return AddMissingSettings(c.home / "config" / "SiteConfiguration.xml", "Site", "", SiteSettings(c));
         }},
        // last: its presence marks a complete installation
        {"config/VendaloConfiguration.xml",
         [](const InstallationContext& c) {
             return AddMissingSettings(c.home / "config" / "VendaloConfiguration.xml", "Vendalo", c.connectionString,
                                       VendaloSettings());
         }},
    };
    return parts;
}

std::vector<std::string> MakeMissingParts(const InstallationContext& context) {
    std::vector<std::string> added;
    for (const auto& part : InstallationParts())
        for (const auto& item : part.make(context)) added.push_back(part.what + ": " + item);
    return added;
}

std::vector<std::string> AddMissingSettings(const fs::path& path, const std::string& product,
                                            const std::string& connectionString,
                                            const std::vector<qx::ConfigSetting>& settings) {
    pugi::xml_document doc;
    std::vector<std::string> added;
    bool existing = fs::exists(path);
    if (existing) {
        std::string text = os::ReadRegularFile(path.string());
        if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default | pugi::parse_declaration))
            throw std::runtime_error(path.string() + " is not a well-formed configuration file");
    } else {
        auto decl = doc.append_child(pugi::node_declaration);
        decl.append_attribute("version") = "1.0";
        decl.append_attribute("encoding") = "UTF-8";
        added.push_back("(new file)");
    }
    auto root = doc.child("Configuration");
    if (!root) {
        if (existing) throw std::runtime_error(path.string() + " holds no <Configuration> element");
        root = doc.append_child("Configuration");
        root.append_attribute("product") = product.c_str();
        if (!connectionString.empty()) root.append_child("ConnectionString").text() = connectionString.c_str();
    }
    for (const auto& s : settings) {
        auto section = root.find_child_by_attribute("Section", "name", s.section.c_str());
        if (!section) {
            section = root.append_child("Section");
            section.append_attribute("name") = s.section.c_str();
        }
        if (section.find_child_by_attribute("Setting", "name", s.name.c_str())) continue;
        auto node = section.append_child("Setting");
        node.append_attribute("name") = s.name.c_str();
        if (!s.type.empty() && s.type != "String") node.append_attribute("type") = s.type.c_str();
        node.text() = s.value.c_str();
        if (existing) added.push_back(s.section + "/" + s.name);
    }
    if (!added.empty()) {
        std::ostringstream out;
        doc.save(out, "  ");
        os::WriteFileAtomically(path.string(), out.str(), 0600);
    }
    RestrictToOwner(path);
    return added;
}

namespace {

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Takes the rights of group and others from one file or folder (not a link); what changed, or "".
std::string OwnerOnly(const fs::path& path, const std::string& shown, ModeAction action) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode) || (st.st_mode & 077) == 0) return "";
    mode_t mode = st.st_mode & 07700;
    if (action == ModeAction::Change && ::chmod(path.c_str(), mode) != 0)
        throw fs::filesystem_error("cannot make it its owner's alone", path, std::error_code(errno, std::generic_category()));
    return shown + " " + Octal(st.st_mode) + " -> " + Octal(mode);
}

}  // namespace

std::vector<std::string> RestrictInstallationToOwner(const fs::path& home, const std::string& connectionString,
                                                     ModeAction action) {
    std::vector<std::string> changed;
    auto note = [&](const std::string& what) {
        if (!what.empty()) changed.push_back(what);
    };
    for (const char* folder : {"config", "data", "log", "Vendalo/TempEdiFtp"}) {
        fs::path top = home / folder;
        if (fs::is_symlink(top) || !fs::is_directory(top)) continue;
        note(OwnerOnly(top, std::string(folder) + "/", action));
        for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it)
            note(OwnerOnly(it->path(), fs::relative(it->path(), home).string(), action));
    }
    std::string database = ado::SQLiteFileOf(connectionString);
    if (!database.empty())
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})  // in data/: already done with its folder
            note(OwnerOnly(database + suffix, database + suffix, action));
    return changed;
}

std::string NewApiKey() { return qx::NewAccessCode() + qx::NewAccessCode(); }

}  // namespace backoffice
