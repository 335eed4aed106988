// SPDX-License-Identifier: MIT
#include "log_capture.h"

#include <log4cxx/spi/loggingevent.h>

namespace vorzmq_test {

// log4cxx 1.0 hands appenders only a parsed method name ("send"), while the
// library records the whole function text. The whole text is read from the
// location's private member through the one access that C++ grants to
// explicit instantiations.
namespace location_access {
using text_member = const char* log4cxx::spi::LocationInfo::*;
text_member function_text_member();
template <text_member Member>
struct grant {
    friend text_member function_text_member() { return Member; }
};
template struct grant<&log4cxx::spi::LocationInfo::methodName>;
}  // namespace location_access

// IMPLEMENT_LOG4CXX_OBJECT, spelled out: the macro cannot name a class
// inside a namespace.
const log4cxx::helpers::Class& capture_appender::getClass() const
{
    return getStaticClass();
}

const log4cxx::helpers::Class& capture_appender::getStaticClass()
{
    static Clazzcapture_appender the_class;
    return the_class;
}

const log4cxx::helpers::ClassRegistration& capture_appender::registerClass()
{
    static log4cxx::helpers::ClassRegistration registration(capture_appender::getStaticClass);
    return registration;
}

void capture_appender::append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&)
{
    const auto& where = event->getLocationInformation();
    const char* function = where.*location_access::function_text_member();
    log_record record{event->getLevel()->toInt(), event->getMessage(), function ? function : "",
                      where.getShortFileName(), where.getLineNumber()};
    std::lock_guard<std::mutex> lock(mutex);
    kept.push_back(std::move(record));
}

std::vector<log_record> capture_appender::records() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return kept;
}

void capture_appender::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    kept.clear();
}

namespace {

std::string level_name(int level)
{
    return log4cxx::Level::toLevel(level)->toString();
}

}  // namespace

std::vector<std::string> messages_at(int level)
{
    std::vector<std::string> out;
    for (const auto& record : captured_log().records()) {
        if (level == -1 || record.level == level) {
            out.push_back(record.message);
        }
    }
    return out;
}

std::vector<std::string> all_messages()
{
    std::vector<std::string> out;
    for (const auto& record : captured_log().records()) {
        out.push_back(level_name(record.level) + " " + record.message);
    }
    return out;
}

bool has_record(int level, const std::string& message)
{
    return count_records(level, message) > 0;
}

size_t count_records(int level, const std::string& message)
{
    size_t count = 0;
    for (const auto& record : captured_log().records()) {
        count += record.level == level && record.message == message;
    }
    return count;
}

std::vector<std::string> problems()
{
    std::vector<std::string> out;
    for (const auto& record : captured_log().records()) {
        if (record.level >= log4cxx::Level::WARN_INT) {
            out.push_back(level_name(record.level) + " " + record.message);
        }
    }
    return out;
}

}  // namespace vorzmq_test
