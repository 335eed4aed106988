// SPDX-License-Identifier: MIT
// A minimal host program: one acknowledged request from a request socket to
// a reply socket over an ipc:// queue under $VOR_HOME, and the outcome of
// each side. Ends within seconds either way, exit status 0 when acknowledged.
//
//   mkdir -p /tmp/demo/queues && VOR_HOME=/tmp/demo ./ping
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>

#include <log4cxx/basicconfigurator.h>
#include <log4cxx/logger.h>

#include "vorzmq.h"

log4cxx::LoggerPtr logger;  // the library logs through the host's logger

namespace {

// The outcome of this thread's last library call, for a person to read.
std::string outcome_text()
{
    std::string text = vorzmq_result_text(vorzmq_last_result());
    if (vorzmq_last_error() != 0) {
        text += std::string(" (") + std::strerror(vorzmq_last_error()) + ")";
    }
    return text;
}

}  // namespace

int main()
{
    log4cxx::BasicConfigurator::configure();  // records go to the console
    logger = log4cxx::Logger::getLogger("ping");
    logger->setLevel(log4cxx::Level::getWarn());

    vorzmq_context context;
    std::string url;
    try {
        url = build_request_response_url("ping");
    } catch (const std::exception& error) {
        std::cerr << "ping: " << error.what() << "\n";
        return 2;
    }

    std::stringstream received;
    std::string server_status = "no request within 5 s";
    std::thread server([&] {
        vorzmq_reply_socket reply(context, url);
        // A bounded wait: five receive timeouts of one second.
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (reply.receive(received, true)) {
                server_status = "received \"" + received.str() + "\"";
                return;
            }
            if (vorzmq_last_result() == vorzmq_result::no_socket) {
                server_status = "cannot bind " + url + ": " + outcome_text();
                return;
            }
        }
    });

    vorzmq_request_socket request(context, url);
    request.set_receive_timeout_ms(3000);  // the server's bind pauses 500 ms
    request.send("hello from ping", true);
    const bool acknowledged = vorzmq_last_result() == vorzmq_result::ok;
    const std::string request_status = acknowledged ? "acknowledged" : "not acknowledged: " + outcome_text();
    server.join();

    std::cout << "server: " << server_status << "\nrequest: " << request_status << "\n";
    return acknowledged ? 0 : 1;
}
