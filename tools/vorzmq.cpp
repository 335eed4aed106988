// SPDX-License-Identifier: MIT
// vorzmq: pokes queues, watches topics and runs the re-broadcast relay from
// the command line, through libvorzmq's public API as any host would.
#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "listen.h"
#include "proxy.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"

namespace {

using namespace vorzmq_tool;

const char endpoint_help[] =
    "A ZeroMQ URL (anything containing \"://\", e.g. tcp://127.0.0.1:5555) or a queue name, "
    "which means ipc://$VOR_HOME/queues/NAME";

// Options every subcommand has; `log_level` is read once parsing is done.
void add_common_options(CLI::App& command, std::string& log_level, const std::string& example,
                        const std::string& notes = {})
{
    command.add_option("--log-level", log_level, "Show the library's records from this level on (stderr)")
        ->transform(CLI::IsMember({"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "OFF"}, CLI::ignore_case))
        ->default_str("WARN");
    command.footer(notes + "Example:\n" + example);
}

// For counts: CLI::PositiveNumber would print the whole range of a double.
const CLI::Validator at_least_one(
    [](std::string& text) {
        try {
            if (std::stoll(text) >= 1) {
                return std::string();
            }
        } catch (const std::exception&) {
        }
        return "expected a whole number of at least 1, got '" + text + "'";
    },
    "N>=1");

// Names the subcommand in parse errors and points at its own help.
std::string failure_message(const CLI::App* app, const CLI::Error& error)
{
    std::string command = "vorzmq";
    for (const CLI::App* subcommand : app->get_subcommands()) {
        command += " " + subcommand->get_name();
    }
    return command + ": " + error.what() + "\nRun '" + command + " --help' for more information.\n";
}

// CLI11 reads an argument written "[a,b]" as two values when it goes to a
// list, so the message "[1,2]" would arrive as "1" and "2". Such arguments
// are marked before parsing and restored after.
constexpr char list_guard = '\x1f';

std::vector<std::string> guard_bracketed(int argc, char** argv)
{
    std::vector<std::string> arguments(argv, argv + argc);
    for (std::string& argument : arguments) {
        if (argument.size() >= 2 && argument.front() == '[' && argument.back() == ']') {
            argument.insert(argument.begin(), list_guard);
        }
    }
    return arguments;
}

void restore(std::string& argument)
{
    if (!argument.empty() && argument.front() == list_guard) {
        argument.erase(0, 1);
    }
}

void restore(std::vector<std::string>& arguments)
{
    for (std::string& argument : arguments) {
        restore(argument);
    }
}

// The publishing commands' queue bound and exit linger, and the one place
// that says when a published message can still be lost.
void add_delivery_options(CLI::App& command, int& hwm, int& linger_ms, const std::string& end)
{
    command
        .add_option("--hwm", hwm,
                    "High-water mark: messages queued for each subscriber before newer ones are dropped for it "
                    "(0: no limit)")
        ->capture_default_str()
        ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
    command
        .add_option("--linger-ms", linger_ms,
                    "How long messages still queued when " + end + " may take to reach the subscribers "
                    "(-1: wait without limit)")
        ->capture_default_str()
        ->check(CLI::Range(-1, std::numeric_limits<int32_t>::max()));
}

// When a published message can still be lost, for the publishing commands'
// help.
std::string delivery_note(const std::string& end)
{
    return "Every message reaches every subscriber that keeps up, except:\n"
           "  - a subscriber that joins late (connects or subscribes after the message went out);\n"
           "  - a subscriber that falls more than --hwm messages behind (a WARN says so);\n"
           "  - what is still queued for a subscriber when --linger-ms runs out after " + end + ".\n\n";
}

// How standard input is cut into messages, for the commands that send.
void add_input_option(CLI::App& command, input_framing& framing)
{
    const std::map<std::string, input_framing> names{
        {"lines", input_framing::lines}, {"null", input_framing::null}, {"whole", input_framing::whole}};
    command
        .add_option_function<std::string>(
            "--input", [&framing, names](const std::string& name) { framing = names.at(name); },
            "How standard input is cut into messages: lines (one a line, without its line feed), null "
            "(ended by zero bytes; any other byte passes) or whole (all of it, one message)")
        ->check(CLI::IsMember({"lines", "null", "whole"}))
        ->default_str("lines");
}

// How received messages are printed, for the commands that print them.
void add_output_option(CLI::App& command, output_format& format)
{
    const std::map<std::string, output_format> names{{"text", output_format::text},
                                                     {"hex", output_format::hex},
                                                     {"base64", output_format::base64},
                                                     {"json", output_format::json}};
    command
        .add_option_function<std::string>(
            "--output", [&format, names](const std::string& name) { format = names.at(name); },
            "How each message is printed, always one line: text (escaped where needed), hex, base64 or json")
        ->check(CLI::IsMember({"text", "hex", "base64", "json"}))
        ->default_str("text");
}

// Help notes; "Name:" lines and two-column rows, which the man page keeps.
const std::string bound_note =
    "Limit:\n"
    "  4194304 bytes (4 MiB) a message, the most a receiving socket takes: a longer one is refused before it\n"
    "  is sent, with exit status 1.\n\n";

const std::string output_note =
    "Formats:\n"
    "Each prints one line per message; only hex, base64 and json keep every byte beyond doubt.\n"
    "  text                        as it is, unless it holds a control character (below 0x20, or 0x7f): then\n"
    "                              each is escaped as \\0 \\t \\n \\r or \\xHH, and each backslash as \\\\\n"
    "  hex                         two lower-case hex digits per byte\n"
    "  base64                      standard base64 with padding\n"
    "  json                        one object; \"topic\" and \"data\" are strings where they are UTF-8, else\n"
    "                              \"topic_base64\" and \"data_base64\" in base64\n\n";

// --metrics of every service.
const std::string metrics_help =
    "Serve Prometheus metrics at http://HOST:PORT/metrics (port 0: any free one, told on stderr)";

// vorzmq forward and vorzmq balance.
void add_proxy_commands(CLI::App& app, forward_options& forward, balance_options& balance, std::string& log_level,
                        std::function<int()>& command)
{
    const std::string stats_help = "Print the proxy's counts every SECONDS seconds (stdout)";
    auto* forward_command = app.add_subcommand(
        "forward", "Forward what publishers publish to subscribers that connect here (libzmq's XSUB/XPUB proxy)");
    forward_command->add_option("--from", forward.from, "Publishers to connect to: URLs or queue names")
        ->required()
        ->expected(1, -1)
        ->type_name("ENDPOINT...");
    forward_command->add_option("--to", forward.to, "Where subscribers connect: a URL or a queue name")->required();
    forward_command
        ->add_option("--hwm", forward.hwm,
                     "Messages queued for each subscriber before newer ones are dropped for it (without "
                     "--lossless); the others never wait for a slow one (0: no limit)")
        ->capture_default_str()
        ->check(CLI::Range(0, std::numeric_limits<int32_t>::max()));
    forward_command->add_flag("--lossless", forward.lossless,
                              "Drop nothing: a subscriber --hwm messages behind stops the proxy, and with it every "
                              "other subscriber, until it reads (the default drops for it alone, silently: libzmq "
                              "counts no drop)");
    forward_command->add_option("--stats", forward.stats_s, stats_help)->type_name("SECONDS")->check(at_least_one);
    add_curve_both_options(*forward_command, forward.curve, "the --to endpoint", "the --from connections");
    forward_command->add_option("--metrics", forward.metrics, metrics_help)->type_name("HOST:PORT");
    add_common_options(*forward_command, log_level,
                       "  vorzmq forward --from tcp://host-a:5556 tcp://host-b:5556 --to tcp://*:5560\n"
                       "  vorzmq subscribe tcp://forwarder:5560 alarm",
                       "Subscriptions travel to every publisher; each subscriber gets what a direct connection "
                       "would give it, in order per publisher, unless it falls --hwm messages behind: then it "
                       "loses newer messages, unless --lossless holds everyone back for it.\n"
                       "SIGINT or SIGTERM stops it (exit 0).\n\n");
    forward_command->callback([&] { command = [&] { return run_forward(forward); }; });

    auto* balance_command = app.add_subcommand(
        "balance", "Spread requests over several servers; each reply goes back to its requester (ROUTER/DEALER)");
    balance_command->add_option("--listen", balance.listen, "Where requesters connect: a URL or a queue name")
        ->required();
    balance_command->add_option("--to", balance.to, "Servers to connect to: URLs or queue names")
        ->required()
        ->expected(1, -1)
        ->type_name("ENDPOINT...");
    balance_command->add_option("--stats", balance.stats_s, stats_help)->type_name("SECONDS")->check(at_least_one);
    add_curve_both_options(*balance_command, balance.curve, "the --listen endpoint", "the --to connections");
    balance_command->add_option("--metrics", balance.metrics, metrics_help)->type_name("HOST:PORT");
    add_common_options(*balance_command, log_level,
                       "  vorzmq balance --listen tcp://*:5555 --to tcp://server-a:5555 tcp://server-b:5555\n"
                       "  vorzmq request tcp://balancer:5555 hello",
                       "Requests go round the connected servers. When a server dies, the requests it held are "
                       "lost (their requesters time out); later ones go to the others.\n"
                       "SIGINT or SIGTERM stops it (exit 0).\n\n");
    balance_command->callback([&] { command = [&] { return run_balance(balance); }; });
}

std::string version_text()
{
    return "vorzmq " + std::to_string(VORZMQ_VERSION_MAJOR) + "." + std::to_string(VORZMQ_VERSION_MINOR) + "." +
           std::to_string(VORZMQ_VERSION_PATCH);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Request/reply, publish/subscribe and re-broadcast over ZeroMQ, from the command line.", "vorzmq"};
    app.set_version_flag("--version", version_text());
    app.require_subcommand(1);
    app.failure_message(failure_message);
    app.footer(
        "Exit status: 0 done, 1 not done (e.g. a request not acknowledged), 2 bad command line.\n"
        "Run 'vorzmq SUBCOMMAND --help' for the details and an example of each.");

    std::string log_level = "WARN";
    std::function<int()> command;

    std::string name;
    auto* url = app.add_subcommand("url", "Print the endpoint of a queue name");
    url->add_option("NAME", name, "Queue name")->required();
    add_common_options(*url, log_level, "  VOR_HOME=/srv/vor vorzmq url status     # ipc:///srv/vor/queues/status");
    url->callback([&] { command = [&] { return run_url(name); }; });

    keygen_options keygen;
    auto* keygen_command =
        app.add_subcommand("keygen", "Write a new CURVE certificate pair: NAME.key (public) and NAME.key_secret");
    add_keygen_options(*keygen_command, keygen);
    add_common_options(*keygen_command, log_level,
                       "  vorzmq keygen server --dir /etc/vorzmq && vorzmq keygen alice\n"
                       "  mkdir -p /etc/vorzmq/clients && cp alice.key /etc/vorzmq/clients/   # admit alice\n"
                       "  vorzmq serve orders --curve-secret /etc/vorzmq/server.key_secret --allow /etc/vorzmq/clients\n"
                       "  vorzmq request orders hello --curve-server /etc/vorzmq/server.key --curve-secret alice.key_secret",
                       "Files:\n  NAME.key holds the public key (mode 0644): give it to the peers. NAME.key_secret holds "
                       "both keys (mode 0600, created so): keep it. Both are in czmq's and pyzmq's format. An existing "
                       "file is never replaced (exit status 1, nothing written).\n\n");
    keygen_command->callback([&] { command = [&] { return run_keygen(keygen); }; });

    serve_options serve;
    auto* serve_command =
        app.add_subcommand("serve", "Bind a reply socket, print each request on its own line and acknowledge it");
    serve_command->add_option("ENDPOINT", serve.endpoint, endpoint_help)->required();
    serve_command->add_option("--count", serve.count, "Stop after N requests (default: until Ctrl-C)")
        ->check(at_least_one);
    serve_command->add_flag("--no-ack", serve.no_ack, "Answer with an empty reply instead of the OK reply");
    add_output_option(*serve_command, serve.output);
    add_curve_server_options(*serve_command, serve.curve);
    serve_command->add_option("--metrics", serve.metrics, metrics_help)->type_name("HOST:PORT");
    add_common_options(*serve_command, log_level, "  vorzmq serve status --count 1 &\n  vorzmq request status hello",
                       output_note);
    serve_command->callback([&] { command = [&] { return run_serve(serve); }; });

    request_options request;
    auto* request_command = app.add_subcommand(
        "request", "Send each message and wait for the OK reply; exit 0 only when every one was acknowledged");
    request_command->add_option("ENDPOINT", request.endpoint, endpoint_help)->required();
    request_command->add_option("MESSAGE", request.messages, "Messages to send (default: each line of stdin)");
    request_command
        ->add_option("--timeout-ms", request.timeout_ms,
                     "Wait this long for each message's OK reply; without it the message is reported as not "
                     "acknowledged, though the server may still have received it")
        ->check(CLI::Range(1, 3600000))
        ->default_str(std::to_string(request.timeout_ms));
    request_command
        ->add_option("--retries", request.retries,
                     "Send a message that got no reply within --timeout-ms again, up to N more times, each on a "
                     "new connection; a server may then get it more than once")
        ->type_name("N")
        ->check(CLI::Range(0, 1000))
        ->default_str("0");
    add_input_option(*request_command, request.input);
    add_output_option(*request_command, request.output);
    add_curve_client_options(*request_command, request.curve);
    add_common_options(*request_command, log_level,
                       "  vorzmq request status hello 'second message'\n  printf 'a\\nb\\n' | vorzmq request status\n"
                       "  vorzmq request status --input whole < request.bin",
                       bound_note + "Output:\n  Each acknowledged message, \"acknowledged: \" and the message in the --output format "
                                    "(json: {\"kind\":\"acknowledged\",\"data\":...}).\n\n");
    request_command->callback([&] { command = [&] { return run_request(request); }; });

    publish_options publish;
    auto* publish_command = app.add_subcommand("publish", "Bind a publish socket and publish data under a topic");
    publish_command->add_option("ENDPOINT", publish.endpoint, endpoint_help)->required();
    publish_command->add_option("TOPIC", publish.topic, "Topic of every message")->required();
    publish_command->add_option("DATA", publish.data, "Data texts to publish (default: each line of stdin)");
    publish_command
        ->add_option("--wait-ms", publish.wait_ms,
                     "Wait this long after binding so subscribers can join; a message published while nobody "
                     "subscribes reaches nobody")
        ->check(CLI::Range(0, 3600000));
    add_delivery_options(*publish_command, publish.hwm, publish.linger_ms, "the input ends");
    add_input_option(*publish_command, publish.input);
    add_curve_server_options(*publish_command, publish.curve);
    add_common_options(*publish_command, log_level,
                       "  vorzmq subscribe events alarm &\n  vorzmq publish events alarm '{\"level\":3}' --wait-ms 1000\n"
                       "  find . -print0 | vorzmq publish events files --input null",
                       delivery_note("the input ends") + bound_note);
    publish_command->callback([&] { command = [&] { return run_publish(publish); }; });

    subscribe_options subscribe;
    auto* subscribe_command =
        app.add_subcommand("subscribe", "Connect a subscribe socket and print the data of each message received");
    subscribe_command->add_option("ENDPOINT", subscribe.endpoint, endpoint_help)->required();
    subscribe_command->add_option("TOPIC", subscribe.topics,
                                  "Topics to receive (default: every topic). A \"$\" ends a topic on the wire: "
                                  "the topic \"a\" also receives \"a$b\"");
    subscribe_command->add_flag("--prefix", subscribe.prefix, "Receive every topic that starts with a TOPIC");
    subscribe_command->add_flag("--show-topic", subscribe.show_topic,
                                "Print each message's topic, a space and its data (\"(no topic)\" for the empty one)");
    subscribe_command->add_option("--count", subscribe.count, "Stop after N messages (default: until Ctrl-C)")
        ->check(at_least_one);
    add_output_option(*subscribe_command, subscribe.output);
    add_curve_client_options(*subscribe_command, subscribe.curve);
    add_common_options(*subscribe_command, log_level,
                       "  vorzmq subscribe events alarm status       # exactly these two topics\n"
                       "  vorzmq subscribe events sensor. --prefix   # sensor.1, sensor.2, ...",
                       output_note + "Limit:\n  A message over 4194304 bytes (4 MiB) is printed, told on stderr, and makes "
                                     "the exit status 1.\n\n");
    subscribe_command->callback([&] { command = [&] { return run_subscribe(subscribe); }; });

    rebroadcast_options rebroadcast;
    auto* rebroadcast_command = app.add_subcommand(
        "rebroadcast", "Ask a re-broadcast service (vorzmq relay) to publish JSON data under a topic");
    rebroadcast_command->add_option("ENDPOINT", rebroadcast.endpoint, std::string(endpoint_help) + "; the relay's --listen")
        ->required();
    rebroadcast_command->add_option("TOPIC", rebroadcast.topic,
                                    "Topic to publish under (default: each message of stdin names its own)");
    rebroadcast_command->add_option("JSON", rebroadcast.json, "Data, as a JSON text (default: each message of stdin)");
    rebroadcast_command
        ->add_option("--timeout-ms", rebroadcast.timeout_ms,
                     "Wait this long for each request's OK reply; without it the request is reported as not "
                     "acknowledged, though the service may still have received it")
        ->check(CLI::Range(1, 3600000))
        ->default_str(std::to_string(rebroadcast.timeout_ms));
    add_input_option(*rebroadcast_command, rebroadcast.input);
    add_curve_client_options(*rebroadcast_command, rebroadcast.curve);
    add_common_options(*rebroadcast_command, log_level,
                       "  vorzmq rebroadcast relay alarm '{\"level\":3,\"zone\":\"north\"}'\n"
                       "  printf '{\"level\":1}\\n{\"level\":2}\\n' | vorzmq rebroadcast relay alarm\n"
                       "  echo '{\"topic\":\"alarm\",\"data\":{\"level\":3}}' | vorzmq rebroadcast relay",
                       "Input:\n  Without JSON, each message of standard input is sent: a JSON text under TOPIC, or "
                       "without TOPIC an object {\"topic\":TOPIC,\"data\":DATA}. Exit status 1 when any was not "
                       "acknowledged.\n\n");
    rebroadcast_command->callback([&] {
        rebroadcast.has_topic = rebroadcast_command->count("TOPIC") != 0;
        rebroadcast.has_json = rebroadcast_command->count("JSON") != 0;
        command = [&] { return run_rebroadcast(rebroadcast); };
    });

    relay_options relay;
    auto* relay_command = app.add_subcommand(
        "relay", "Run the re-broadcast service: acknowledge each request and publish its data under its topic");
    relay_command->add_option("--listen", relay.listen, "Where re-broadcast requests arrive: a URL or a queue name")
        ->required();
    relay_command->add_option("--publish", relay.publish, "Where subscribers connect: a URL or a queue name")
        ->required();
    add_delivery_options(*relay_command, relay.hwm, relay.linger_ms, "the relay stops");
    relay_command
        ->add_option("--memory-budget", relay.memory_budget_mib,
                     "MiB the relay may queue for each subscriber that stops reading; the mark becomes at most "
                     "this divided by --max-request")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    relay_command
        ->add_option("--max-request", relay.max_request_kib,
                     "KiB: longer requests are refused (\"error: too long\"); at most 4096")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    add_curve_server_options(*relay_command, relay.curve);
    relay_command->add_option("--metrics", relay.metrics, metrics_help)->type_name("HOST:PORT");
    relay_command->add_flag("--print", relay.print,
                            "Print each relayed message (topic and data) on standard output; off by default, so "
                            "that no payload reaches a log");
    add_common_options(*relay_command, log_level,
                       "  vorzmq relay --listen relay --publish events &\n"
                       "  vorzmq subscribe events alarm &\n"
                       "  vorzmq rebroadcast relay alarm '{\"level\":3}'",
                       delivery_note("the relay stops"));
    relay_command->callback([&] { command = [&] { return run_relay(relay); }; });

    listen_options listen;
    auto* listen_command = app.add_subcommand(
        "listen", "Serve queues and follow publishers in one process, printing every message with where it came from");
    listen_command->add_option("--serve", listen.queues, std::string(endpoint_help) + "; acknowledges each request")
        ->type_name("ENDPOINT");
    listen_command
        ->add_option("--subscribe", listen.subscribes,
                     "An endpoint to connect to, then the topics to receive from it (default: every topic)")
        ->type_name("ENDPOINT [TOPIC...]")
        ->expected(1, -1);
    listen_command->add_flag("--prefix", listen.prefix, "Receive every topic that starts with a TOPIC");
    listen_command->add_option("--count", listen.count, "Stop after N messages in all (default: until Ctrl-C)")
        ->check(at_least_one);
    add_output_option(*listen_command, listen.output);
    add_curve_both_options(*listen_command, listen.curve, "the --serve queues", "the --subscribe connections");
    listen_command->add_option("--metrics", listen.metrics, metrics_help)->type_name("HOST:PORT");
    add_common_options(*listen_command, log_level,
                       "  vorzmq listen --serve status --serve orders --subscribe events alarm status\n"
                       "  # request status: hello\n"
                       "  # message events alarm: {\"level\":3}",
                       output_note + "Output:\n  In json, each object also has \"kind\" (request or message) and "
                                     "\"endpoint\".\n\n");
    listen_command->callback([&] { command = [&] { return run_listen(listen); }; });

    forward_options forward;
    balance_options balance;
    add_proxy_commands(app, forward, balance, log_level, command);

    // CLI11 would call an unknown subcommand an unexpected argument; say what
    // it is and what the choices are.
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            continue;
        }
        const auto subcommands = app.get_subcommands([](CLI::App*) { return true; });
        bool known = false;
        std::string choices;
        for (const CLI::App* subcommand : subcommands) {
            known = known || subcommand->get_name() == argv[i];
            choices += (choices.empty() ? "" : ", ") + subcommand->get_name();
        }
        if (!known) {
            std::cerr << "vorzmq: unknown subcommand '" << argv[i] << "' (choose one of " << choices
                      << "; see vorzmq --help)\n";
            return exit_usage;
        }
        break;
    }

    std::vector<std::string> arguments = guard_bracketed(argc, argv);
    std::vector<char*> argument_pointers;
    for (std::string& argument : arguments) {
        argument_pointers.push_back(argument.data());
    }
    try {
        app.parse(argc, argument_pointers.data());
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : exit_usage;
    }

    for (std::string* argument : {&name, &serve.endpoint, &request.endpoint, &publish.endpoint, &publish.topic,
                                  &subscribe.endpoint, &rebroadcast.endpoint, &rebroadcast.topic, &rebroadcast.json,
                                  &relay.listen, &relay.publish}) {
        restore(*argument);
    }
    restore(request.messages);
    restore(publish.data);
    restore(subscribe.topics);
    restore(listen.queues);
    for (std::vector<std::string>& subscription : listen.subscribes) {
        restore(subscription);
    }

    configure_logging(log_level);
    raise_open_file_limit();
    const std::string command_name = "vorzmq " + app.get_subcommands().front()->get_name();
    try {
        const int status = command();
        // What a command printed last may still wait in the buffer: a full
        // disk or a closed pipe must not pass as success.
        errno = 0;
        if (!(std::cout << std::flush)) {
            throw command_failure(std::string("cannot write to standard output: ") +
                                  std::strerror(errno != 0 ? errno : EIO));
        }
        return status;
    } catch (const usage_error& error) {
        std::cerr << command_name << ": " << error.what() << '\n';
        return exit_usage;
    } catch (const std::exception& error) {
        std::cerr << command_name << ": " << error.what() << '\n';
        return exit_failure;
    }
}
