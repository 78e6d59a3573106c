// The reply of the BLE daemon's get of section "sys": the get's reply
// handler, then the whitelist taken from its "values".

#include <nlohmann/json.hpp>

#include "harness.h"
#include "registry/registry.h"
#include "uci/uci.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  nlohmann::json values = nlohmann::json::object();
  uci::ValuesInto(values)(text.c_str());
  WhiteListFrom(values);
  IsWhitelisted("0123456789AB");
  return 0;
}
