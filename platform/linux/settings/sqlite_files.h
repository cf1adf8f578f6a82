// The files behind the SQLite settings: folders and files made with exact modes, the
// folder lock that runs setting a damaged database aside hold, and a look at a file
// before SQLite is let near it.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/linux/unique_fd.h"

namespace kestrune::sqlite_files {

bool canWrite(const std::string& path, int mode);
bool ensureFolder(const std::filesystem::path& folder, mode_t mode);
bool ensureFile(const std::string& path, mode_t mode);
UniqueFd lockFolderOf(const std::string& file, int operation);
bool statSettled(const std::string& file, struct stat& st);
bool looksLikeDatabase(const std::string& path);

}  // namespace kestrune::sqlite_files
