// SPDX-License-Identifier: MIT
// A host program built against an installed libvorzmq: one request over an
// ipc:// queue under $VOR_HOME, answered by a reply socket on a thread, with
// the OK reply checked byte for byte. Exits 0 only when both ends saw the
// right bytes.
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <log4cxx/basicconfigurator.h>
#include <log4cxx/logger.h>

#include <vorzmq.h>

log4cxx::LoggerPtr logger;

int main()
{
    log4cxx::BasicConfigurator::configure();
    logger = log4cxx::Logger::getLogger("consumer");
    logger->setLevel(log4cxx::Level::getWarn());

    const std::string message = "hello from an installed consumer";
    std::stringstream received;
    bool server_got_request = false;
    {
        vorzmq_context context;
        const std::string url = build_request_response_url("consumer");

        std::thread server([&] {
            vorzmq_reply_socket reply(context, url);
            // Each receive waits 1 s; give the client ample time to connect.
            for (int attempt = 0; attempt < 20 && !server_got_request; ++attempt)
                server_got_request = reply.receive(received, true);
        });

        vorzmq_request_socket request(context, url);
        request.send(message, false);
        char ok[16] = {};
        const size_t size = request.receive(ok, sizeof ok);
        server.join();

        if (size != 3 || std::memcmp(ok, "ok", 3) != 0) {
            std::cerr << "consumer: expected the 3-byte OK reply, got " << size << " bytes\n";
            return 1;
        }
    }
    if (!server_got_request || received.str() != message) {
        std::cerr << "consumer: server received '" << received.str() << "'\n";
        return 1;
    }
    std::cout << "consumer: request acknowledged\n";
    return 0;
}
