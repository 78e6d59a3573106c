#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The gateway's node registry in UCI package "tavrin": the whitelist of
// section "sys" and one anonymous "node" section per recorded node.

// Loads the whitelist, then the object paths of the recorded nodes. Called
// once by main before any other thread of the daemon exists.
void LoadNode();

// Replaces the whitelist with option "whitelist" of section "sys" (a list,
// or a single option taken as a one-element list); unchanged when missing.
void LoadWhiteList();

// The whitelist from `values`, the options of section "sys" as a get
// replies them; unchanged when the option is missing or of another shape.
void WhiteListFrom(const nlohmann::json& values);

// Reply handler of the get of every "node" section: appends the object path
// of each well-formed section to `nodes`; others are logged and skipped.
void NodeSectionsReply(const char* text, std::vector<std::string>& nodes);

// True when the whitelist holds exactly `device_id`.
bool IsWhitelisted(const std::string& device_id);

// The whitelisted device ids, in UCI order.
const std::vector<std::string>& GetWhitelist();

// Object paths of the nodes recorded at start, in section-name order.
const std::vector<std::string>& GetKnownNodes();

// Records a node unless a node section with `object_path` exists already.
void NVRAMAddNode(const std::string& object_path, const std::string& device_id);

// Removes every node section with `object_path` and commits.
void NVRAMDeleteNode(const std::string& object_path);

// Whether a node section with `object_path` exists (a failed call: no).
bool NVRAMHasNode(const std::string& object_path);

// "values" of a get by section name; an empty object when the call fails.
nlohmann::json UCIGet(const std::string& config, const std::string& section);

// "values" of a get by section type, with "match" when it has members.
nlohmann::json UCIGet(const std::string& config, const std::string& type, const nlohmann::json& match);

void UCICommit(const std::string& config);
