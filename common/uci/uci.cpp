#include "uci/uci.h"

#include <utility>

#include "ipc/compact.h"
#include "ipc/ubus.h"
#include "log/log.h"

namespace uci {

bool ReplyValues(const char* reply, json& values) {
  if (!reply) return false;
  try {
    json document = json::parse(reply);
    const auto member = document.find("values");
    if (member == document.end()) return false;
    values = std::move(*member);
    return true;
  } catch (const json::exception& e) {
    LOG_ERROR << e.what();
    return false;
  }
}

ReplyHandler ValuesInto(json& values) {
  return [&values](const char* text) { ReplyValues(text, values); };
}

std::string Request(const json& request) {
  return ipc::Compact(request);
}

bool UCICall(const char* method, const json& request, ReplyHandler handler) {
  ipc::UBUS ubus(kTimeoutSeconds);
  return ubus.Call("uci", method, Request(request), std::move(handler));
}

bool UCIGetSection(const std::string& config, const std::string& section, json& values) {
  return UCICall("get", json{{"config", config}, {"section", section}}, ValuesInto(values));
}

bool UCIGetType(const std::string& config, const std::string& type, const json& match, json& values) {
  json request{{"config", config}, {"type", type}};
  if (match.is_object() && !match.empty()) request["match"] = match;
  return UCICall("get", request, ValuesInto(values));
}

json UCIGet(const std::string& config, const std::string& section) {
  json values = json::object();
  UCIGetSection(config, section, values);
  return values;
}

json UCIGet(const std::string& config, const std::string& type, const json& match) {
  json values = json::object();
  UCIGetType(config, type, match, values);
  return values;
}

bool UCIAdd(const std::string& config, const std::string& type, const json& values) {
  return UCICall("add", json{{"config", config}, {"type", type}, {"values", values}});
}

bool UCISet(const std::string& config, const std::string& section, const json& values) {
  return UCICall("set", json{{"config", config}, {"section", section}, {"values", values}});
}

bool UCIDelete(const std::string& config, const std::string& type, const json& match) {
  return UCICall("delete", json{{"config", config}, {"match", match}, {"type", type}});
}

bool UCICommit(const std::string& config) { return UCICall("commit", json{{"config", config}}); }

}  // namespace uci
