// SPDX-License-Identifier: MIT
// A host that serves a queue and follows a topic in one thread: a poller
// waits on both sockets and says which one has a message.
//
//   VOR_HOME=/tmp/demo ./serve_and_follow status tcp://127.0.0.1:5556 alarm
//
// Prints "request: <text>" for each request (acknowledged at once) and
// "message: <data>" for each message published under the topic, until
// Ctrl-C or SIGTERM. Exits 1 if a wait without time-out returned without
// a message and without a signal, which must never happen.
#include <signal.h>

#include <iostream>
#include <sstream>

#include <log4cxx/basicconfigurator.h>
#include <log4cxx/logger.h>

#include "vorzmq.h"

log4cxx::LoggerPtr logger;  // the library logs through the host's logger

namespace {

volatile sig_atomic_t stop = 0;
volatile sig_atomic_t signals = 0;

void on_stop(int)
{
    stop = 1;
    signals = signals + 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: serve_and_follow QUEUE PUBLISHER_URL TOPIC\n";
        return 2;
    }
    log4cxx::BasicConfigurator::configure();
    logger = log4cxx::Logger::getLogger("serve_and_follow");
    logger->setLevel(log4cxx::Level::getWarn());

    // Without SA_RESTART, so that a signal ends the wait (it returns 0).
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    vorzmq_context context;
    vorzmq_reply_socket requests(context, build_request_response_url(argv[1]));
    vorzmq_sub_socket messages(context, argv[2]);
    messages.add_topic(argv[3]);

    vorzmq_poller poller;  // declared after its sockets, so destroyed first
    poller.add(requests);
    poller.add(messages);

    int status = 0;
    while (!stop) {
        // A signal that lands between the test of `stop` and the wait is
        // seen at the next message; a host that cannot wait for one passes
        // a time-out instead of -1.
        const sig_atomic_t signals_before = signals;
        const int ready = poller.wait(-1);
        if (ready < 0) {
            status = 1;  // the library logged why
            break;
        }
        if (ready == 0 && signals == signals_before) {
            std::cerr << "wait(-1) returned 0 without a signal\n";
            status = 1;
        }
        std::stringstream text;
        if (poller.readable(requests) && requests.receive(text, true)) {
            std::cout << "request: " << text.str() << std::endl;
        }
        text.str("");
        if (poller.readable(messages) && messages.receive(text)) {
            std::cout << "message: " << text.str() << std::endl;
        }
    }
    return status;
}
