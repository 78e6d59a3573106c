#include "version/version.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
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

}  // namespace

std::string GetInstalledVersion(const std::string& package, const std::string& apk_program) {
  if (!IsPackageName(package)) throw std::invalid_argument("not a package name: " + package);
  if (access(apk_program.c_str(), X_OK) == 0) {
    return ApkVersion(Output(Quoted(apk_program) + " list --installed --manifest " + package), package);
  }
  return OpkgVersion(Output("opkg list-installed " + package));
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

}  // namespace logging
