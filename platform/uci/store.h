#pragma once

// UCI packages on disk: config files in a config directory and their staged
// changes in a staging directory, one file per package holding change lines.
// Files are locked as the router's libuci locks them (shared to read,
// exclusive to write), so its tools can work on the same directories.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package.h"

namespace ucihost {

enum class StoreStatus { ok, invalid, not_found, parse_error, io_error };

struct Loaded {
  std::unique_ptr<Package> package;
  std::vector<Delta> staged;  // the staging file's changes, in order
};

class Store {
 public:
  Store(std::string config_dir, std::string delta_dir);

  const std::string& config_dir() const { return config_dir_; }
  const std::string& delta_dir() const { return delta_dir_; }

  // The config file with its staged changes applied. `error` gets a text for
  // parse and I/O failures.
  StoreStatus Load(const std::string& name, Loaded* loaded, std::string* error) const;

  // Appends changes to the package's staging file.
  StoreStatus Stage(const std::string& name, const std::vector<Delta>& deltas, std::string* error) const;

  // Applies the staged changes to the config file and empties the staging
  // file. The new file is written beside the old one, synced and renamed
  // over it, so the config file is always either the old or the new one. A
  // file that does not parse is left alone; without staged changes the file
  // is not rewritten.
  StoreStatus Commit(const std::string& name, std::string* error) const;

  // Drops the package's staged changes.
  StoreStatus Revert(const std::string& name, std::string* error) const;

  // Names of the packages in the config directory, sorted; none when the
  // directory cannot be read or is empty.
  std::optional<std::vector<std::string>> ListConfigs() const;

 private:
  std::string ConfigPath(const std::string& name) const { return config_dir_ + "/" + name; }
  std::string DeltaPath(const std::string& name) const { return delta_dir_ + "/" + name; }

  std::string config_dir_;
  std::string delta_dir_;
};

}  // namespace ucihost
