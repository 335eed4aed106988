// SPDX-License-Identifier: MIT
// The two free functions that name and check queue endpoints.
#include <algorithm>
#include <cstdlib>
#include <locale>
#include <stdexcept>
#include <string>

#include "logging.h"

namespace vorzmq::internal {
namespace {
constexpr char ipc_prefix[] = "ipc://";
}  // namespace
}  // namespace vorzmq::internal

bool valid_url(const std::string& url)
{
    return !url.empty();
}

std::string build_request_response_url(const std::string& name)
{
    static constexpr char signature[] = "std::string build_request_response_url(const string&)";
    const auto& classes = std::use_facet<std::ctype<char>>(std::locale());
    size_t end = name.size();
    while (end > 0 && classes.is(std::ctype_base::space, name[end - 1])) {
        --end;
    }
    size_t begin = 0;
    while (begin < end && classes.is(std::ctype_base::space, name[begin])) {
        ++begin;
    }
    if (begin == end) {
        throw std::runtime_error("Empty Request Response Name is Invalid");
    }
    // A ".." component would lead out of the queues directory.
    for (size_t part = begin; part <= end;) {
        const size_t slash = std::min(name.find('/', part), end);
        if (name.compare(part, slash - part, "..") == 0) {
            throw std::runtime_error("Request Response Name Leaves the Queues Directory");
        }
        part = slash + 1;
    }

    const char* home = getenv("VOR_HOME");
    if (home == nullptr) {
        LOG4CXX_ERROR(logger, "VOR_HOME Environment Variable Not Set");
        throw std::runtime_error("VOR_HOME Environment Variable Not Set");
    }
    std::string url = vorzmq::internal::ipc_prefix;
    url.append(home).append("/queues/").append(name, begin, end - begin);
    return url;
}
