// SPDX-License-Identifier: MIT
// What the two side-by-side benchmark programs share around their scenarios:
// the checks that fail a run, the stop flag of their server threads, the
// logger and the run itself.
#ifndef VORZMQ_BENCH_MAIN_H
#define VORZMQ_BENCH_MAIN_H

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>

#include <benchmark/benchmark.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>

#include "vorzmq.h"

namespace vorzmq_bench {

inline std::atomic<long> failed_checks{0};
inline std::atomic<bool> stopping{false};  // tells server threads to return

// A failed check fails the run, after at most ten are printed.
inline void check(bool passed, const char* what)
{
    if (!passed && failed_checks.fetch_add(1) < 10) {
        std::fprintf(stderr, "check failed: %s\n", what);
    }
}

// WARN: the library logs nothing at WARN or above while exchanges succeed, so
// any record on stderr means a benchmark went wrong. The DEBUG and TRACE
// records (constructors, receive time-outs of idle servers) are disabled and
// must cost nothing.
inline void configure_logger(const char* name)
{
    logger = log4cxx::Logger::getLogger(name);
    logger->setLevel(log4cxx::Level::getWarn());
    logger->setAdditivity(false);
    auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%p %m%n"));
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout, LOG4CXX_STR("System.err")));
}

// Runs what `register_all` registers, then `tear_down` (after `stopping` is
// set) ends the servers and contexts. Returns main's exit status: 1 for an
// unknown argument or a failed check.
inline int run_benchmarks(int argc, char** argv, const std::function<void()>& register_all,
                          const std::function<void()>& tear_down)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    stopping = true;
    tear_down();
    const long failed = failed_checks.load();
    if (failed != 0) {
        std::fprintf(stderr, "%ld checks failed\n", failed);
        return 1;
    }
    return 0;
}

}  // namespace vorzmq_bench

#endif
