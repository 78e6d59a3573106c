#pragma once

#include <string>

namespace logging {

// The installed version of `package` as "opkg list-installed" prints it after
// the package name and " - " (trailing newline included); the whole output
// when it holds no " - "; empty when the package is not installed.
// Throws std::runtime_error("popen() failed!") when the command cannot start.
std::string GetInstalledVersion(const std::string& package);

// GetInstalledVersion for a start record: a failed lookup gives "".
std::string InstalledVersionOrEmpty(const std::string& package);

}  // namespace logging
