#include "version/version.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "log/log.h"

namespace logging {

std::string GetInstalledVersion(const std::string& package) {
  const std::string command = "opkg list-installed " + package;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("popen() failed!");
  std::string output;
  char buffer[128];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  static const std::string delimiter = " - ";
  for (size_t at = output.find(delimiter); at != std::string::npos; at = output.find(delimiter)) {
    output.erase(0, at + delimiter.size());
  }
  return output;
}

std::string InstalledVersionOrEmpty(const std::string& package) {
  try {
    return GetInstalledVersion(package);
  } catch (const std::exception& e) {
    LOG_ERROR << e.what();
    return std::string();
  }
}

}  // namespace logging
