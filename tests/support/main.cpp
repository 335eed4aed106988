// SPDX-License-Identifier: MIT
// The host side of every test executable: defines the library's global
// logger and sends its records to the capturing appender.
#include <memory>

#include <gtest/gtest.h>
#include <log4cxx/logger.h>

#include "log_capture.h"

log4cxx::LoggerPtr logger;

namespace vorzmq_test {

std::shared_ptr<capture_appender> shared_appender()
{
    static auto appender = std::make_shared<capture_appender>();
    return appender;
}

capture_appender& captured_log()
{
    return *shared_appender();
}

}  // namespace vorzmq_test

int main(int argc, char** argv)
{
    logger = log4cxx::Logger::getLogger("vorzmq.test");
    logger->setLevel(log4cxx::Level::getAll());
    logger->setAdditivity(false);
    logger->addAppender(vorzmq_test::shared_appender());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
