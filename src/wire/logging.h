// SPDX-License-Identifier: MIT
// How the library's records name their origin. Every record names its
// function by a fixed signature text, so the location does not depend on the
// compiler's spelling of __PRETTY_FUNCTION__, and names one source file,
// whichever file of the library wrote it, as hosts' log filters have always
// seen it. Each logging function declares `signature`; the log4cxx level
// macros pick it up through LOG4CXX_LOCATION, which they expand where they
// are used. Include this after every log4cxx header.
#ifndef VORZMQ_SRC_LOGGING_H
#define VORZMQ_SRC_LOGGING_H

#include <log4cxx/log4cxx.h>
#include <log4cxx/logger.h>

#include "vorzmq.h"

namespace vorzmq::internal {

inline constexpr char source_file[] = "vorzmq.cpp";

inline log4cxx::spi::LocationInfo location(const char* function, int line)
{
#if defined(LOG4CXX_VERSION_MAJOR) && LOG4CXX_VERSION_MAJOR >= 1
    return log4cxx::spi::LocationInfo(source_file, source_file, function, line);
#else
    return log4cxx::spi::LocationInfo(source_file, function, line);
#endif
}

}  // namespace vorzmq::internal

#undef LOG4CXX_LOCATION
#define LOG4CXX_LOCATION ::vorzmq::internal::location(signature, __LINE__)

#endif  // VORZMQ_SRC_LOGGING_H
