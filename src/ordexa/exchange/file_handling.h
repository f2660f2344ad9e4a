// File handling of the order exchange: remote path splitting, the
// installation's temporary EDI folder, temporary export files, and the
// presence test and removal of a file that lies either on the local file
// system or on the back end's FTP host (use-FTP flag "true", in any case).
//
// None of these raises: a failure is logged under a label naming the procedure
// and its arguments (the password as "***"), and the procedure returns what it
// has so far. Local paths use "/"; a remote path is split at its last "/", or,
// when it has none, at its last "\".
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "ordexa/exchange/ftp_settings.h"
#include "platform/automation/text.h"

namespace ordexa {

using ole::TrimBlanks;
// A text flag (use-FTP, use-semaphore) is on when it reads "true" in any case.
bool IsFlagOn(const std::string& flag);

// The path up to its last separator; a path without one comes back unchanged.
std::string GetParentDir(const std::string& path);
// "/" when the path holds one, else "\" when it holds one, else "".
std::string getSlashInPath(const std::string& path);
// Splits the trimmed path at its last separator; without one the directory is empty.
void getDirectoryAndFileFromFilePath(const std::string& path, std::string& directory, std::string& fileName);
// <installation folder>/Vendalo/TempEdiFtp, created when missing.
std::string getTempEDIPath();
// Opens <temporary EDI folder>/<name>.edi for writing: appends to an existing
// file, creates a missing one. Null (and an empty path) on failure.
std::unique_ptr<std::ofstream> createTempEDIExportFileName(const std::string& name, std::string& fullPath);

bool isFilePresent(const std::string& i_sFile, const FtpSettings& ftp);
// A read-only local file is not removed (and counts as a failure). True when
// the file was removed.
bool RemoveFile(const std::string& i_sFile, const FtpSettings& ftp);

}  // namespace ordexa
