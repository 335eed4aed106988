// SPDX-License-Identifier: MIT
// JSON as this library puts it on the wire.
#ifndef VORZMQ_SRC_JSON_TEXT_H
#define VORZMQ_SRC_JSON_TEXT_H

#include <string>

#include <json/value.h>

namespace vorzmq::internal {

// Parses with JsonCpp's default features (comments kept). Input nested too
// deeply makes JsonCpp throw; that counts as invalid JSON, never as a crash.
bool parse_json(const std::string& text, Json::Value& value);

// One line of compact JSON, ending in a newline. May throw std::bad_alloc.
std::string compact_json(const Json::Value& value);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_JSON_TEXT_H
