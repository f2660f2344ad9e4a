#include "ordexa/exchange/file_handling.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <initializer_list>

#include "ordexa/exchange/ftp.h"
#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/config/configuration.h"
#include "shared/lib_sales.h"

namespace ordexa {
namespace fs = std::filesystem;

namespace {

const std::string kLabel = "Lib File_Handling ";

// Position of the separator that splits a remote path: the last "/", or the last "\" when there is no "/".
size_t LastSeparator(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash != std::string::npos ? slash : path.rfind('\\');
}

// "Lib File_Handling <name>('<a>', '<b>', ...)" with every argument trimmed.
std::string Label(const std::string& name, std::initializer_list<std::string> arguments) {
    std::string label = kLabel + name + "('";
    bool first = true;
    for (const auto& argument : arguments) {
        if (!first) label += "', '";
        label += TrimBlanks(argument);
        first = false;
    }
    return label + "')";
}

// The label of the two switches: all eight arguments, the password as "***".
std::string SwitchLabel(const std::string& name, const std::string& file, const FtpSettings& ftp) {
    std::string label = kLabel + name + "('" + TrimBlanks(file);
    for (const auto& value : ftp.Shown()) label += "', '" + TrimBlanks(value);
    return label + "')";
}

void LogCurrentError(const std::string& label) { Sls_LogError(label, ole::CurrentDescription()); }

int32_t LocalErrorNumber(int error) {
    return error == EACCES || error == EPERM || error == EROFS ? ole::err::PermissionDenied : ole::err::PathNotFound;
}

}  // namespace

bool IsFlagOn(const std::string& flag) { return ole::EqualsNoCase(flag, "true"); }

std::string GetParentDir(const std::string& path) {
    try {
        size_t separator = LastSeparator(path);
        return separator == std::string::npos ? path : path.substr(0, separator);
    } catch (...) {
        LogCurrentError(Label("GetParentDir", {path}));
        return "";
    }
}

std::string getSlashInPath(const std::string& path) {
    try {
        if (path.find('/') != std::string::npos) return "/";
        if (path.find('\\') != std::string::npos) return "\\";
        return "";
    } catch (...) {
        LogCurrentError(Label("getSlashInPath", {path}));
        return "";
    }
}

void getDirectoryAndFileFromFilePath(const std::string& path, std::string& directory, std::string& fileName) {
    directory.clear();
    fileName.clear();
    try {
        std::string trimmed = TrimBlanks(path);
        size_t separator = LastSeparator(trimmed);
        if (separator == std::string::npos) {
            fileName = trimmed;
        } else {
            directory = trimmed.substr(0, separator);
            fileName = trimmed.substr(separator + 1);
        }
    } catch (...) {
        LogCurrentError(Label("getDirectoryAndFileFromFilePath", {path}));
    }
}

std::string getTempEDIPath() {
    std::string folder;
    try {
        auto config = Sls_GetComponent<qx::IConfiguration>("Qxcore.Configuration");
        auto installations = config->GetInstallations("Vendalo");
        if (installations.empty()) {
            // Never a folder at the root of the file system: the system's temporary folder stands in.
            folder = (fs::temp_directory_path() / "Vendalo" / "TempEdiFtp").string();
            fs::create_directories(folder);
            ole::Raise(qx::config_err::NotLoaded,
                       "No installation of Vendalo is set up (VENDALO_HOME is not set); EDI files pass through " +
                           folder,
                       "Qxcore.Configuration");
        }
        folder = installations.front().Folder + "/Vendalo/TempEdiFtp";
        fs::create_directories(folder);
    } catch (...) {
        LogCurrentError(kLabel + "getTempEDIPath()");
    }
    return folder;
}

std::unique_ptr<std::ofstream> createTempEDIExportFileName(const std::string& name, std::string& fullPath) {
    fullPath.clear();
    try {
        std::string path = getTempEDIPath() + "/" + name + ".edi";
        std::error_code ec;
        bool exists = fs::exists(path, ec);
        auto stream = std::make_unique<std::ofstream>();
        errno = 0;
        stream->open(path, std::ios::out | std::ios::binary | (exists ? std::ios::app : std::ios::trunc));
        if (!stream->is_open()) {
            int32_t number = LocalErrorNumber(errno);
            ole::Raise(number, std::string(ole::RuntimeErrorText(number)) + ": " + path);
        }
        fullPath = path;
        return stream;
    } catch (...) {
        LogCurrentError(Label("createTempEDIExportFileName", {name}));
        fullPath.clear();
        return nullptr;
    }
}

bool isFilePresent(const std::string& i_sFile, const FtpSettings& ftp) {
    try {
        if (ftp.UseFtp()) return Sls_GetComponent<IFTP>("Ordexa.Ftp")->FilePresentViaFTP(i_sFile, ftp);
        std::error_code ec;
        return fs::is_regular_file(i_sFile, ec);
    } catch (...) {
        LogCurrentError(SwitchLabel("isFilePresent", i_sFile, ftp));
        return false;
    }
}

bool RemoveFile(const std::string& i_sFile, const FtpSettings& ftp) {
    try {
        if (ftp.UseFtp()) {
            Sls_GetComponent<IFTP>("Ordexa.Ftp")->DeleteFileViaFTP(i_sFile, ftp);
            return true;
        }
        struct stat status {};
        if (::stat(i_sFile.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
            ole::Raise(ole::err::FileNotFound, std::string(ole::RuntimeErrorText(ole::err::FileNotFound)) + ": " + i_sFile);
        // Not forced: a read-only file stays.
        if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::unlink(i_sFile.c_str()) != 0) {
            int32_t number = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? ole::err::PermissionDenied
                                                                                   : LocalErrorNumber(errno);
            ole::Raise(number, std::string(ole::RuntimeErrorText(number)) + ": " + i_sFile);
        }
        return true;
    } catch (...) {
        LogCurrentError(SwitchLabel("RemoveFile", i_sFile, ftp));
        return false;
    }
}

}  // namespace ordexa
