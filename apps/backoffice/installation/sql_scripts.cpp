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
    fs::path inSources = fs::path(BACKOFFICE_SOURCE_DIR) / relativePath;
    for (const fs::path& file : {besideBinary, inSources}) {
        if (ec && file == besideBinary) continue;
        std::ifstream in(file, std::ios::binary);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    throw std::runtime_error("the file " + fs::path(relativePath).filename().string() + " is neither in " + besideBinary.parent_path().string() +
                             " nor in " + inSources.parent_path().string());
}

}  // namespace backoffice
