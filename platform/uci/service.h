#pragma once

// The methods of the ubus object "uci" on JSON values: requests as the bus
// delivers them (object members in the order sent), replies as the router's
// rpcd gives them, member order included.

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "store.h"

namespace ucihost {

using Json = nlohmann::ordered_json;

// ubus status codes of the replies.
enum Status : int {
  kOk = 0,
  kInvalidArgument = 2,
  kMethodNotFound = 3,
  kNotFound = 4,
  kUnknownError = 9,
};

struct Reply {
  int status = kOk;
  std::optional<Json> data;  // sent before the status when present
};

class Service {
 public:
  using ErrorLog = std::function<void(const std::string&)>;

  Service(const Store& store, ErrorLog log);

  // Runs `method` on `request` (an object).
  Reply Handle(const std::string& method, const Json& request) const;

  Reply Get(const Json& request) const;
  Reply Add(const Json& request) const;
  Reply Set(const Json& request) const;
  Reply Delete(const Json& request) const;
  Reply Rename(const Json& request) const;
  Reply Order(const Json& request) const;
  Reply Changes(const Json& request) const;
  Reply Revert(const Json& request) const;
  Reply Commit(const Json& request) const;
  Reply Configs(const Json& request) const;

 private:
  int Load(const std::string& config, Loaded* loaded) const;
  int Stage(const Package& package) const;
  int StatusOf(StoreStatus status, const std::string& error) const;

  const Store& store_;
  ErrorLog log_;
};

}  // namespace ucihost
