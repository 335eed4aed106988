// SPDX-License-Identifier: MIT
// build_json with any topic and any data text: it never throws, refuses
// exactly what JsonCpp cannot parse, and what it writes parses back to the
// same data and topic (where their strings are well-formed UTF-8; JsonCpp
// replaces malformed bytes when it writes).
#include <sstream>

#include <json/value.h>

#include "harness.h"
#include "vorzmq.h"

using namespace vorzmq_fuzz;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input_reader in(data, size);
    const std::string topic = in.text(in.byte());
    const std::string json = in.rest();

    std::stringstream out;
    bool built = false;
    try {
        built = build_json(topic, json, out);
    } catch (...) {
        fail("build_json threw");
    }
    Json::Value expected;
    const bool valid = parse_json(json, expected);
    if (built != valid) {
        fail(built ? "accepted data that does not parse" : "refused data that parses");
    }
    if (!built) {
        if (!out.str().empty()) {
            fail("refused data but wrote text");
        }
        return 0;
    }
    Json::Value back;
    if (!parse_json(out.str(), back) || !back.isObject() || back.size() != 2 || !back["topic"].isString()) {
        fail("envelope does not parse back: " + out.str());
    }
    if (text_survives_json(expected) && !(back["data"] == expected)) {
        fail("data changed on the way: " + out.str());
    }
    if (well_formed_utf8(topic) && back["topic"].asString() != topic) {
        fail("topic changed on the way: " + out.str());
    }
    return 0;
}
