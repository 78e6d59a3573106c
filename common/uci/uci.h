#pragma once

// Requests to the ubus object "uci" (rpcd on the router). Each request is a
// JSON object sent compactly with its members in key order, on a connection
// of its own with a 30 second time-out. A call's result says whether it went
// through; a failed call has written its record already and leaves the
// caller's value as it was. A change (add, set, delete) takes effect for the
// daemons only after UCICommit of the package.

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace uci {

using json = nlohmann::json;
// Gets the reply's JSON text (as ipc::CallbackHandler).
using ReplyHandler = std::function<void(const char*)>;

constexpr int kTimeoutSeconds = 30;

// Compact text of a request: no blanks, members in key order, non-ASCII
// bytes passed through (invalid UTF-8 is replaced rather than thrown on).
std::string Request(const json& request);

// Calls `method` of "uci" with `request`; `handler` (may be empty) gets the
// reply's JSON text.
bool UCICall(const char* method, const json& request, ReplyHandler handler = nullptr);

// Takes member "values" of the JSON text of a get's reply into `values`.
// False, leaving `values` as it was, when the reply is missing, is not JSON
// (error record with the parser's message) or has no "values". Every reply
// of the "uci" object is read here.
bool ReplyValues(const char* reply, json& values);

// Reply handler of a get: moves the reply's "values" into `values`, which
// must outlive the handler; a reply that is not JSON is logged.
ReplyHandler ValuesInto(json& values);

// "get" by section (a name or "@type[index]"): moves the reply's "values"
// (the section's options) into `values`. `values` keeps its content when the
// call fails, the section does not exist (no reply data), the reply is not
// JSON (error record with the parser's message) or has no "values".
bool UCIGetSection(const std::string& config, const std::string& section, json& values);

// "get" by type: "values" holds the sections of `type`, keyed by section
// name; "match" is sent only when `match` is an object with members.
bool UCIGetType(const std::string& config, const std::string& type, const json& match, json& values);

// The same, into a value that starts as an empty object.
json UCIGet(const std::string& config, const std::string& section);
json UCIGet(const std::string& config, const std::string& type, const json& match);

// "add" of an anonymous section of `type`; `values` is sent as given (null
// is ignored by the service).
bool UCIAdd(const std::string& config, const std::string& type, const json& values = nullptr);
// "set" of options of a section (a name or "@type[index]").
bool UCISet(const std::string& config, const std::string& section, const json& values);
// "delete" of every section of `type` that matches `match`.
bool UCIDelete(const std::string& config, const std::string& type, const json& match);
// "commit": staged changes of the package go to its file.
bool UCICommit(const std::string& config);

}  // namespace uci
