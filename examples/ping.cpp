// SPDX-License-Identifier: MIT
// A minimal host program: one acknowledged request from a request socket to
// a reply socket over an ipc:// queue under $VOR_HOME.
//
//   VOR_HOME=/tmp/demo ./ping      (the queues/ folder must exist)
#include <iostream>
#include <sstream>
#include <thread>

#include <log4cxx/basicconfigurator.h>
#include <log4cxx/logger.h>

#include "vorzmq.h"

log4cxx::LoggerPtr logger;  // the library logs through the host's logger

int main()
{
    log4cxx::BasicConfigurator::configure();
    logger = log4cxx::Logger::getLogger("ping");
    logger->setLevel(log4cxx::Level::getWarn());

    vorzmq_context context;
    const std::string url = build_request_response_url("ping");

    std::stringstream received;
    std::thread server([&] {
        vorzmq_reply_socket reply(context, url);
        while (!reply.receive(received, true)) {
        }
    });

    vorzmq_request_socket request(context, url);
    request.send("hello from ping", true);  // waits for the OK reply
    server.join();

    std::cout << "server received: " << received.str() << "\n";
    return received.str() == "hello from ping" ? 0 : 1;
}
