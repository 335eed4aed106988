// SPDX-License-Identifier: MIT
// JSON texts, and build_json, the topic-data envelope of the public API.
#include "json_text.h"

#include <exception>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

#include "vorzmq.h"

namespace vorzmq::internal {

// Json::Reader and Json::FastWriter define the texts on the wire; JsonCpp
// marks them deprecated, so the warning is silenced here alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

bool parse_json(const std::string& text, Json::Value& value)
{
    try {
        Json::Reader reader;
        return reader.parse(text, value, true);
    } catch (const std::exception&) {
        return false;
    }
}

std::string compact_json(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

#pragma GCC diagnostic pop

}  // namespace vorzmq::internal

bool build_json(const std::string& topic, const std::string& data, std::stringstream& out)
{
    Json::Value parsed;
    if (!vorzmq::internal::parse_json(data, parsed)) {
        return false;
    }
    Json::Value envelope;
    envelope["topic"] = topic;
    envelope["data"] = std::move(parsed);
    try {
        out << envelope;
    } catch (const std::exception&) {
        return false;  // nothing but a failed allocation can get here
    }
    return true;
}
