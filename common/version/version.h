#pragma once

#include <string>

namespace logging {

// The installed version of `package`, asked of the platform's package
// manager: apk where /usr/bin/apk exists (OpenWrt 25.12 on), opkg otherwise.
// opkg: what "opkg list-installed NAME" prints after the package name and
// " - " (trailing newline included); the whole output when it holds no " - ".
// apk: what "apk list --installed --manifest NAME" prints after the package
// name and a blank (trailing newline included); the whole output when it does
// not start so. When the command prints nothing (opkg could not take its lock,
// or is not there, as in a jail), the package manager's database is read
// instead and the version given as "VERSION\n": opkg's status file (a
// paragraph whose Status has the word "installed"), apk's installed database.
// Empty when the package is not installed.
// Throws std::invalid_argument for a name that is not a package name (letters,
// digits and "+-._", starting with a letter or digit): nothing is run then.
// Throws std::runtime_error("popen() failed!") when the command cannot start.
std::string GetInstalledVersion(const std::string& package);

// GetInstalledVersion with apk taken to be installed at `apk_program` (run
// there when it is an executable file) and the databases read at `opkg_status`
// and `apk_installed`.
std::string GetInstalledVersion(const std::string& package, const std::string& apk_program,
                                const std::string& opkg_status = "/usr/lib/opkg/status",
                                const std::string& apk_installed = "/lib/apk/db/installed");

// GetInstalledVersion for a start record: a failed lookup gives "".
std::string InstalledVersionOrEmpty(const std::string& package);

// The version without the line break (and any white space) the lookup
// ends it with, as the status objects show it.
std::string VersionWithoutLineEnd(std::string version);

}  // namespace logging
