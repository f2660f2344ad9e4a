#include "use_installation.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "automation/text.h"
#include "lib_sales.h"
#include "log/log.h"

namespace backoffice {

namespace fs = std::filesystem;

std::optional<std::string> UseInstallation(const std::string& command, const std::optional<std::string>& given,
                                           int& exitCode) {
    std::string folder = HomeFolder(given);
    if (folder.empty()) {
        std::cerr << "backoffice " << command << ": no installation given: use --home DIR or set VENDALO_HOME\n";
        exitCode = 2;
        return std::nullopt;
    }
    std::string home = fs::absolute(folder).lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (!fs::exists(fs::path(home) / "config" / "VendaloConfiguration.xml")) {
        std::cerr << "backoffice " << command << ": " << home
                  << " is no installation (config/VendaloConfiguration.xml is missing); make one with `backoffice init`\n";
        exitCode = 1;
        return std::nullopt;
    }
    setenv("VENDALO_HOME", home.c_str(), 1);
    Sls_ResetThreadState();
    qx::ResetLogs();
    return home;
}

std::string Reason(const std::string& description) {
    size_t at = description.rfind(" DESC: ");
    if (at == std::string::npos) return ole::EscapeControls(description);
    auto part = [&](size_t from, size_t skip) {
        size_t end = description.find("\r\n", from);
        std::string text = description.substr(from + skip, end == std::string::npos ? std::string::npos : end - from - skip);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    };
    std::string text = part(at, 7);
    size_t info = description.find("\r\n INFO: ", at);
    if (info != std::string::npos && description.find(" METHOD: ", at) > info) text += " (" + part(info + 2, 7) + ")";
    return ole::EscapeControls(text);
}

}  // namespace backoffice
