// SPDX-License-Identifier: MIT
#include "harness.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

log4cxx::LoggerPtr logger;

namespace vorzmq_fuzz {

void silence_logger()
{
    if (!logger) {
        logger = log4cxx::Logger::getLogger("vorzmq.fuzz");
        logger->setLevel(log4cxx::Level::getOff());
        logger->setAdditivity(false);
    }
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "harness check failed: %s\n", what.c_str());
    std::abort();
}

std::string private_ipc_url(const std::string& name)
{
    char pattern[] = "/tmp/vzf-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        fail("mkdtemp");
    }
    // The harness's sockets live until the process ends, so the folder goes
    // at exit, which libFuzzer reaches when its time is up.
    static std::vector<std::string> folders;
    if (folders.empty()) {
        std::atexit([] {
            for (const auto& folder : folders) {
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
            }
        });
    }
    folders.emplace_back(pattern);
    return std::string("ipc://") + pattern + "/" + name;
}

}  // namespace vorzmq_fuzz

#include <json/reader.h>

namespace vorzmq_fuzz {

bool well_formed_utf8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

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
#pragma GCC diagnostic pop

std::string text_before_zero(const std::string& frame)
{
    return frame.substr(0, frame.find('\0'));
}

}  // namespace vorzmq_fuzz

namespace vorzmq_fuzz {

bool text_survives_json(const Json::Value& value)
{
    if (value.isString()) {
        return well_formed_utf8(value.asString());
    }
    if (value.isArray()) {
        for (const auto& element : value) {
            if (!text_survives_json(element)) {
                return false;
            }
        }
    }
    if (value.isObject()) {
        for (const auto& name : value.getMemberNames()) {
            if (!well_formed_utf8(name) || !text_survives_json(value[name])) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace vorzmq_fuzz
