// SPDX-License-Identifier: MIT
#include "tool_runtime.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <thread>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/loggingevent.h>

#include "vorzmq.h"

log4cxx::LoggerPtr logger;  // the library logs through the host's logger

namespace helpers = log4cxx::helpers;  // spelled so by log4cxx's object macros

// Counts the records that report a problem. It lives in the global namespace
// because log4cxx's object macros cannot name a namespaced class.
class problem_watch : public log4cxx::AppenderSkeleton {
public:
    DECLARE_LOG4CXX_OBJECT(problem_watch)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(problem_watch)
    LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void close() override {}
    bool requiresLayout() const override { return false; }

    std::size_t problems = 0;
    std::size_t errors = 0;
    std::string last;

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
    {
        const int level = event->getLevel()->toInt();
        if (level >= log4cxx::Level::WARN_INT) {
            ++problems;
            last = event->getMessage();
        }
        if (level >= log4cxx::Level::ERROR_INT) {
            ++errors;
        }
    }
};

IMPLEMENT_LOG4CXX_OBJECT(problem_watch)

namespace vorzmq_tool {

namespace {

// Owned by the logger: a global owner would outlive log4cxx's memory pools.
problem_watch* watch = nullptr;
std::atomic<bool> stop_flag{false};

}  // namespace

void configure_logging(const std::string& level)
{
    logger = log4cxx::Logger::getLogger("vorzmq");
    logger->setAdditivity(false);
    const log4cxx::LevelPtr shown = log4cxx::Level::toLevel(level, log4cxx::Level::getWarn());

    auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%d{HH:mm:ss.SSS} %-5p %m%n"));
    auto console = std::make_shared<log4cxx::ConsoleAppender>(layout, log4cxx::ConsoleAppender::getSystemErr());
    console->setThreshold(shown);
    logger->addAppender(console);

    auto counting = std::make_shared<problem_watch>();
    watch = counting.get();
    logger->addAppender(counting);
    // Problems are counted whatever the user chose to see.
    logger->setLevel(shown->isGreaterOrEqual(log4cxx::Level::getWarn()) ? log4cxx::Level::getWarn() : shown);
}

std::size_t problem_count()
{
    return watch ? watch->problems : 0;
}

std::string last_problem()
{
    return watch ? watch->last : std::string();
}

std::size_t error_count()
{
    return watch ? watch->errors : 0;
}

void handle_stop_signals()
{
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    // Blocked before libzmq starts its threads, so no thread takes them and a
    // blocking receive is never interrupted halfway; the receive time-outs
    // bound how long the flag waits to be seen.
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    // A shell starts background jobs with SIGINT ignored; Ctrl-C and kill -INT
    // must still stop them.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::thread([stop_set] {
        int signal_number = 0;
        sigwait(&stop_set, &signal_number);
        stop_flag = true;
        sigwait(&stop_set, &signal_number);
        _exit(128 + signal_number);
    }).detach();
}

bool stop_requested()
{
    return stop_flag;
}

std::string resolve_endpoint(const std::string& endpoint)
{
    if (endpoint.find("://") != std::string::npos) {
        return endpoint;
    }
    try {
        return build_request_response_url(endpoint);
    } catch (const std::runtime_error& error) {
        if (getenv("VOR_HOME") == nullptr) {
            throw usage_error("cannot resolve queue name '" + endpoint + "': " + error.what() +
                              " (export VOR_HOME, or give a URL such as tcp://127.0.0.1:5555)");
        }
        throw usage_error("cannot resolve queue name '" + endpoint + "': " + error.what());
    }
}

void require_ipc_directory(const std::string& url)
{
    static const std::string ipc_prefix = "ipc://";
    if (url.compare(0, ipc_prefix.size(), ipc_prefix) != 0) {
        return;
    }
    const std::string path = url.substr(ipc_prefix.size());
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return;
    }
    const std::string directory = path.substr(0, slash);
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw command_failure("cannot bind " + url + ": the directory " + directory +
                              " does not exist (create it with mkdir -p)");
    }
}

void exit_dropping_unsent(int status)
{
    std::cout.flush();
    std::cerr.flush();
    _exit(status);
}

std::string excerpt(const std::string& text)
{
    constexpr std::size_t longest = 60;
    std::string shown;
    for (const char c : text.substr(0, longest)) {
        shown += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    }
    if (text.size() > longest) {
        shown += "...";
    }
    return shown;
}

}  // namespace vorzmq_tool
