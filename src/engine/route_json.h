#pragma once
// The JSON form of an engine request: an object with exactly "routes" and
// "selected", each route an object with exactly its nine members. Decoding is
// strict (every member required, unknown members rejected, `port` a JSON
// integer 0..65535, every other field a string) and runs before validation.
// Repeated members are the text parser's to reject; a JSON value cannot hold them.

#include <string>

#include <nlohmann/json.hpp>

#include "engine/route.h"
#include "platform/result.h"

namespace velk {

// Error: "bad_request". When `why` is given it receives a human-readable
// reason (naming an unknown key and the expected ones); it is never sent to a
// client.
Result<EngineRequest> decode_engine_request(const nlohmann::json& value, std::string* why = nullptr);
Result<EngineRequest> decode_engine_request(const nlohmann::ordered_json& value, std::string* why = nullptr);

// Members in declaration order: "routes" then "selected"; each route's nine
// members in the order of `Route`.
nlohmann::ordered_json encode_engine_request(const EngineRequest& request);

}  // namespace velk
