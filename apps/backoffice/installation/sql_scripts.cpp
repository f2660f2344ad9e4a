#include "installation/sql_scripts.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace backoffice {

namespace fs = std::filesystem;

std::string ReadSqlScript(const std::string& name) { return ReadShippedFile("sql/" + name); }

std::string ReadShippedFile(const std::string& relativePath) {
    std::error_code ec;
    fs::path binary = fs::read_symlink("/proc/self/exe", ec);
    fs::path besideBinary = binary.parent_path() / relativePath;
    // an installed binary (bin/backoffice) finds them in share/backoffice
    fs::path installed = binary.parent_path().parent_path() / "share" / "backoffice" / relativePath;
    fs::path inSources = fs::path(BACKOFFICE_SOURCE_DIR) / relativePath;
    for (const fs::path& file : {besideBinary, installed, inSources}) {
        if (ec && file != inSources) continue;
        std::ifstream in(file, std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    throw std::runtime_error("the file " + fs::path(relativePath).filename().string() + " is in none of " + besideBinary.parent_path().string() +
                             ", " + installed.parent_path().string() + " and " + inSources.parent_path().string());
}

}  // namespace backoffice
