#include "platform/format/label_catalogue.h"

#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <unordered_map>

#include "platform/automation/component.h"
#include "platform/config/configuration.h"
#include "platform/log/log.h"
#include "platform/os/durable_file.h"

namespace embedded {
extern const std::string_view kLabels1033;
extern const std::string_view kLabels1043;
}  // namespace embedded

namespace qx {
namespace {

const char* kSource = "Qxcore.MessageManager";

using Labels = std::unordered_map<std::string, std::string>;

// Writes a warning once per process for each key. Locales come from requests,
// so the keys kept (and the warnings written) are bounded.
void WarnOnce(const std::string& key, const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> warned;
    {
        std::lock_guard lock(mutex);
        if (warned.size() >= 10000 || !warned.insert(key).second) return;
    }
    try {
        ole::CreateObjectAs<ILog>("Qxcore.Log")->WriteEntry(kSource, text, LogWarning);
    } catch (...) {
        // a missing label is never worth a failure
    }
}

// Locales name files: letters, digits, "-" and "_" only.
bool IsLocaleName(const std::string& locale) {
    if (locale.empty() || locale.size() > 16) return false;
    for (char c : locale)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    return true;
}

Labels Parse(std::string_view text) {
    Labels labels;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos) continue;
        std::string_view code = line.substr(0, equals);
        while (!code.empty() && (code.back() == ' ' || code.back() == '\t')) code.remove_suffix(1);
        while (!code.empty() && (code.front() == ' ' || code.front() == '\t')) code.remove_prefix(1);
        if (!code.empty()) labels.emplace(std::string(code), std::string(line.substr(equals + 1)));
    }
    return labels;
}

// The catalogue of a locale; nothing when the installation has no readable file for it.
std::optional<Labels> ReadCatalogue(const std::string& locale) {
    auto installations = InstallationsFromEnvironment();
    if (installations.empty() || !IsLocaleName(locale)) return std::nullopt;
    std::string file = LabelCatalogueFile(installations.front().ConfigFolder, locale);
    try {
        return Parse(os::ReadRegularFile(file));
    } catch (const std::system_error& e) {
        if (e.code() != std::errc::no_such_file_or_directory)
            WarnOnce("unreadable\n" + file, "The label catalogue " + file + " cannot be read: " + e.what());
        return std::nullopt;
    }
}

class LabelCatalogue : public IMessageManager {
public:
    std::string GetMessage(const std::string& code, const std::string& locale) override {
        const Catalogue& catalogue = CatalogueOf(locale);
        auto it = catalogue.labels.find(code);
        if (it != catalogue.labels.end()) return it->second;
        WarnOnce("code\n" + catalogue.locale + "\n" + code, "The label " + code + " is not in the label catalogue of locale " +
                                                                catalogue.locale + "; its code is shown instead");
        return code;
    }

private:
    struct Catalogue {
        std::string locale;  // the locale whose labels these are
        Labels labels;
    };

    const Catalogue& CatalogueOf(const std::string& locale) {
        auto found = catalogues_.find(locale);
        if (found != catalogues_.end()) return found->second;
        Catalogue catalogue{locale, {}};
        if (auto labels = ReadCatalogue(locale)) {
            catalogue.labels = std::move(*labels);
        } else if (locale != kFallbackLabelLocale) {
            if (IsLocaleName(locale))
                WarnOnce("locale\n" + locale, "There is no label catalogue for locale " + locale + "; the labels of " +
                                                  kFallbackLabelLocale + " are shown");
            catalogue = CatalogueOf(kFallbackLabelLocale);
        } else {
            WarnOnce("locale\n" + locale, "There is no label catalogue for locale " + locale +
                                              " in the installation; labels are shown as their codes");
        }
        return catalogues_.emplace(locale, std::move(catalogue)).first->second;
    }

    std::map<std::string, Catalogue> catalogues_;
};

}  // namespace

const std::vector<ShippedLabelCatalogue>& ShippedLabelCatalogues() {
    static const std::vector<ShippedLabelCatalogue> shipped = {{"1033", embedded::kLabels1033},
                                                               {"1043", embedded::kLabels1043}};
    return shipped;
}

std::string LabelCatalogueFile(const std::string& configFolder, const std::string& locale) {
    return configFolder + "/labels/" + locale + ".txt";
}

void WriteShippedLabelCatalogues(const std::string& configFolder) {
    std::filesystem::create_directories(configFolder + "/labels");
    for (const auto& shipped : ShippedLabelCatalogues())
        os::WriteFileAtomically(LabelCatalogueFile(configFolder, shipped.locale), shipped.text, 0644);
}

void RegisterLabelCatalogue() { ole::RegisterClass<LabelCatalogue>("Qxcore.MessageManager"); }

}  // namespace qx
