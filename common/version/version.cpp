#include "version/version.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "log/log.h"

namespace logging {

namespace {

constexpr const char* kApkProgram = "/usr/bin/apk";

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// What opkg and apk accept as a package name; nothing of it is special to the
// shell, and it cannot be taken for an option or a pattern.
bool IsPackageName(const std::string& name) {
  return !name.empty() && IsAlnum(name[0]) && std::all_of(name.begin(), name.end(), [](char c) {
    return IsAlnum(c) || c == '+' || c == '-' || c == '.' || c == '_';
  });
}

std::string Quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("popen() failed!");
  std::string output;
  char buffer[128];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  return output;
}

// "NAME - VERSION\n": everything up to the last " - " goes.
std::string OpkgVersion(std::string output) {
  static const std::string delimiter = " - ";
  for (size_t at = output.find(delimiter); at != std::string::npos; at = output.find(delimiter)) {
    output.erase(0, at + delimiter.size());
  }
  return output;
}

// "NAME VERSION\n": the name and its blank go.
std::string ApkVersion(std::string output, const std::string& package) {
  const std::string prefix = package + " ";
  if (output.compare(0, prefix.size(), prefix) == 0) output.erase(0, prefix.size());
  return output;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool HasWord(const std::string& text, const std::string& word) {
  std::istringstream words(text);
  std::string each;
  while (words >> each) {
    if (each == word) return true;
  }
  return false;
}

// A package database: paragraphs of "KEY:VALUE" lines, a new one at a blank
// line or at the name field. "VERSION\n" of the paragraph named `package`
// (whose status has the word "installed" where `status_key` is given); "" when
// there is none or the file cannot be read.
std::string DatabaseVersion(const std::string& path, const std::string& package, const std::string& name_key,
                            const std::string& version_key, const std::string& status_key) {
  std::ifstream in(path);
  std::string line, name, version, status;
  const auto found = [&] {
    return name == package && !version.empty() && (status_key.empty() || HasWord(status, "installed"));
  };
  while (std::getline(in, line)) {
    const bool starts_name = line.compare(0, name_key.size(), name_key) == 0;
    if (starts_name || Trimmed(line).empty()) {
      if (found()) break;
      name.clear();
      version.clear();
      status.clear();
    }
    if (starts_name) {
      name = Trimmed(line.substr(name_key.size()));
    } else if (line.compare(0, version_key.size(), version_key) == 0) {
      version = Trimmed(line.substr(version_key.size()));
    } else if (!status_key.empty() && line.compare(0, status_key.size(), status_key) == 0) {
      status = line.substr(status_key.size());
    }
  }
  return found() ? version + "\n" : std::string();
}

}  // namespace

std::string GetInstalledVersion(const std::string& package, const std::string& apk_program,
                                const std::string& opkg_status, const std::string& apk_installed) {
  if (!IsPackageName(package)) throw std::invalid_argument("not a package name: " + package);
  if (access(apk_program.c_str(), X_OK) == 0) {
    const std::string output = Output(Quoted(apk_program) + " list --installed --manifest " + package);
    if (output.empty()) return DatabaseVersion(apk_installed, package, "P:", "V:", "");
    return ApkVersion(output, package);
  }
  const std::string output = Output("opkg list-installed " + package);
  if (output.empty()) return DatabaseVersion(opkg_status, package, "Package:", "Version:", "Status:");
  return OpkgVersion(output);
}

std::string GetInstalledVersion(const std::string& package) { return GetInstalledVersion(package, kApkProgram); }

std::string InstalledVersionOrEmpty(const std::string& package) {
  try {
    return GetInstalledVersion(package);
  } catch (const std::exception& e) {
    LOG_ERROR << e.what();
    return std::string();
  }
}

std::string VersionWithoutLineEnd(std::string version) {
  while (!version.empty() && std::isspace(static_cast<unsigned char>(version.back()))) version.pop_back();
  return version;
}

}  // namespace logging
