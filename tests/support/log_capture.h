// SPDX-License-Identifier: MIT
// A log4cxx appender that keeps every record, so that tests can assert on
// level, exact message text and location.
#ifndef VORZMQ_TESTS_LOG_CAPTURE_H
#define VORZMQ_TESTS_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/level.h>

namespace vorzmq_test {

namespace helpers = log4cxx::helpers;  // for log4cxx's object macros

struct log_record {
    int level;  // log4cxx::Level::*_INT
    std::string message;
    std::string function;  // the whole function text, e.g. "void f(int)"
    std::string file;
    int line;
};

class capture_appender : public log4cxx::AppenderSkeleton {
public:
    DECLARE_LOG4CXX_OBJECT(capture_appender)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(capture_appender)
    LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void close() override {}
    bool requiresLayout() const override { return false; }

    std::vector<log_record> records() const;
    void clear();

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool) override;

private:
    mutable std::mutex mutex;
    std::vector<log_record> kept;
};

// The appender attached to the global `logger` by the test main.
capture_appender& captured_log();

// Records at `level` (or all records when level is -1), as "LEVEL message"
// lines, for readable assertion failures.
std::vector<std::string> messages_at(int level);
std::vector<std::string> all_messages();  // "WARN Closing Socket" style
bool has_record(int level, const std::string& message);
size_t count_records(int level, const std::string& message);
// Records at WARN or above, as "LEVEL message" lines.
std::vector<std::string> problems();

}  // namespace vorzmq_test

#endif
