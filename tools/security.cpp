// SPDX-License-Identifier: MIT
#include "security.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <vector>

#include <CLI/CLI.hpp>
#include <log4cxx/appenderskeleton.h>
#include <log4cxx/level.h>
#include <log4cxx/spi/loggingevent.h>
#include <zmq.h>

#include "tool_runtime.h"
#include "vorzmq.h"

namespace vorzmq_tool {

namespace helpers = log4cxx::helpers;  // for log4cxx's object macros

// Keeps the library's records while a certificate is read, so that the
// tool tells its reader once, in its own words, whatever the log level.
class record_keeper : public log4cxx::AppenderSkeleton {
public:
    DECLARE_LOG4CXX_OBJECT(record_keeper)
    BEGIN_LOG4CXX_CAST_MAP()
    LOG4CXX_CAST_ENTRY(record_keeper)
    LOG4CXX_CAST_ENTRY_CHAIN(AppenderSkeleton)
    END_LOG4CXX_CAST_MAP()

    void close() override {}
    bool requiresLayout() const override { return false; }

    std::vector<std::pair<int, std::string>> records;

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override
    {
        records.emplace_back(event->getLevel()->toInt(), event->getMessage());
    }
};

// IMPLEMENT_LOG4CXX_OBJECT, spelled out: the macro cannot name a class
// inside a namespace.
const log4cxx::helpers::Class& record_keeper::getClass() const
{
    return getStaticClass();
}

const log4cxx::helpers::Class& record_keeper::getStaticClass()
{
    static Clazzrecord_keeper the_class;
    return the_class;
}

const log4cxx::helpers::ClassRegistration& record_keeper::registerClass()
{
    static log4cxx::helpers::ClassRegistration registration(record_keeper::getStaticClass);
    return registration;
}

namespace {

struct certificate_keys {
    std::string public_key;
    std::string secret_key;
};

// Runs `call` with the library's records kept from the log, and returns
// them. Only while no other thread may log: it swaps the global logger.
template <typename function>
std::vector<std::pair<int, std::string>> keeping_records(const function& call)
{
    auto keeper = std::make_shared<record_keeper>();
    const log4cxx::LoggerPtr shown = logger;
    logger = log4cxx::Logger::getLogger("vorzmq.kept");
    logger->setAdditivity(false);
    logger->setLevel(log4cxx::Level::getAll());
    logger->addAppender(keeper);
    call();
    logger->removeAppender(keeper);
    logger = shown;
    return keeper->records;
}

// Reads one certificate through the library, its records kept from the log.
// Throws usage_error naming the file and the option.
certificate_keys read_certificate(const std::string& path, const std::string& option, const std::string& command)
{
    if (path.empty()) {
        throw usage_error(option + " needs a certificate file, got an empty name");
    }
    certificate_keys keys;
    bool read = false;
    const auto records =
        keeping_records([&] { read = vorzmq_read_certificate(path, keys.public_key, keys.secret_key); });
    const std::string failed = "Failed to Read CURVE Certificate: " + path + " -- ";
    std::string why;
    for (const auto& [level, message] : records) {
        if (level >= log4cxx::Level::ERROR_INT) {
            why = message.compare(0, failed.size(), failed) == 0 ? message.substr(failed.size()) : message;
        } else if (level >= log4cxx::Level::WARN_INT && !keys.secret_key.empty()) {
            std::cerr << "vorzmq " << command << ": warning: the secret key in " << path
                      << " can be read by others than its owner (chmod 600 " << path << ")\n";
        }
    }
    if (!read) {
        throw usage_error("cannot read the CURVE certificate " + path + " (" + option + "): " +
                          (why.empty() ? std::string("not a certificate") : why));
    }
    return keys;
}

}  // namespace

void add_curve_server_options(CLI::App& command, curve_options& options)
{
    CLI::Option* secret =
        command
            .add_option("--curve-secret", options.secret_file,
                        "Serve over CURVE with this secret certificate (NAME.key_secret, see vorzmq keygen): only "
                        "clients given its public certificate are served, encrypted; clear-text clients are not")
            ->type_name("FILE");
    command
        .add_option("--allow", options.allow_dir,
                    "Admit only CURVE clients whose public certificate (NAME.key) is in DIR; a file added or removed "
                    "applies to the next connection (connections open stay open)")
        ->type_name("DIR")
        ->needs(secret);
}

void add_curve_client_options(CLI::App& command, curve_options& options)
{
    CLI::Option* server =
        command
            .add_option("--curve-server", options.server_file,
                        "Connect over CURVE to the server with this public certificate (NAME.key; a NAME.key_secret "
                        "also does): only the holder of its secret key reads what is sent")
            ->type_name("FILE");
    command
        .add_option("--curve-secret", options.secret_file,
                    "This client's own secret certificate, which a server's --allow folder admits (default: a "
                    "fresh key pair, which no --allow admits)")
        ->type_name("FILE")
        ->needs(server);
}

void add_curve_both_options(CLI::App& command, curve_options& options, const std::string& bound_side,
                            const std::string& connecting_side)
{
    CLI::Option* secret =
        command
            .add_option("--curve-secret", options.secret_file,
                        "This process's secret certificate (NAME.key_secret, see vorzmq keygen): the CURVE server "
                        "key of " + bound_side + " (clear-text clients are not served there), and the own key of " +
                            connecting_side)
            ->type_name("FILE");
    command
        .add_option("--curve-server", options.upstream_server_files,
                    "Public certificate (NAME.key) of the servers " + connecting_side +
                        " reach: one for all, or one for each in their order. They connect over CURVE, with "
                        "--curve-secret as their key if given (else a fresh key pair)")
        ->type_name("FILE ...");
    command
        .add_option("--allow", options.allow_dir,
                    "Admit only CURVE clients whose public certificate (NAME.key) is in DIR; a file added or removed "
                    "applies to the next connection (connections open stay open)")
        ->type_name("DIR")
        ->needs(secret);
}

curve_keys load_curve_keys(const curve_options& options, const std::string& command)
{
    curve_keys keys;
    std::map<std::string, certificate_keys> read;  // each file once, so a warning is told once
    const auto certificate = [&](const std::string& path, const std::string& option) -> const certificate_keys& {
        const auto found = read.find(path);
        return found != read.end() ? found->second
                                   : read.emplace(path, read_certificate(path, option, command)).first->second;
    };
    if (!options.secret_file.empty()) {
        const certificate_keys& own = certificate(options.secret_file, "--curve-secret");
        if (own.secret_key.empty()) {
            throw usage_error("the CURVE certificate " + options.secret_file +
                              " (--curve-secret) holds no secret key: give the NAME.key_secret file, not NAME.key");
        }
        keys.public_key = own.public_key;
        keys.secret_key = own.secret_key;
    }
    if (!options.server_file.empty()) {
        keys.server_public_key = certificate(options.server_file, "--curve-server").public_key;
    }
    for (const std::string& file : options.upstream_server_files) {
        keys.upstream_server_keys.push_back(certificate(file, "--curve-server").public_key);
    }
    if (!keys.upstream_server_keys.empty()) {
        keys.server_public_key = keys.upstream_server_keys.front();
    }
    if (!options.allow_dir.empty()) {
        DIR* folder = opendir(options.allow_dir.c_str());
        if (folder == nullptr) {
            throw usage_error("cannot read the --allow folder " + options.allow_dir + ": " + std::strerror(errno));
        }
        closedir(folder);
        keys.allow_dir = options.allow_dir;
    }
    return keys;
}

curve_keys keys_for_upstream(const curve_keys& keys, std::size_t index, std::size_t upstream_count)
{
    const std::size_t given = keys.upstream_server_keys.size();
    if (given > 1 && given != upstream_count) {
        throw usage_error("--curve-server names " + std::to_string(given) + " certificates for " +
                          std::to_string(upstream_count) + " upstreams: give one for all, or one for each");
    }
    curve_keys own = keys;
    if (given > 1) {
        own.server_public_key = keys.upstream_server_keys.at(index);
    }
    return own;
}

std::unique_ptr<vorzmq_authenticator> start_allow_list(vorzmq_context& context, const curve_keys& keys)
{
    if (keys.allow_dir.empty()) {
        return nullptr;
    }
    auto authenticator = std::make_unique<vorzmq_authenticator>(context);
    // Not with the records kept: the authenticator's thread logs too.
    if (!authenticator->start(keys.allow_dir)) {
        throw command_failure("cannot start the allow-list of " + keys.allow_dir +
                              " (the library's ERROR record says why)");
    }
    return authenticator;
}

template <typename socket_type>
void make_curve_server(socket_type& socket, const curve_keys& keys)
{
    if (!is_curve_server(keys)) {
        return;
    }
    const vorzmq_curve_clients clients =
        keys.allow_dir.empty() ? vorzmq_curve_clients::any : vorzmq_curve_clients::allowed;
    if (!socket.set_curve_server(keys.secret_key, clients)) {
        throw command_failure("the library refused the CURVE secret key");
    }
}

template <typename socket_type>
void make_curve_client(socket_type& socket, const curve_keys& keys)
{
    if (!is_curve_client(keys)) {
        return;
    }
    if (!socket.set_curve_client(keys.server_public_key, keys.secret_key)) {
        throw command_failure("the library refused the CURVE keys");
    }
}

template void make_curve_server(vorzmq_reply_socket&, const curve_keys&);
template void make_curve_server(vorzmq_pub_socket&, const curve_keys&);
template void make_curve_client(vorzmq_request_socket&, const curve_keys&);
template void make_curve_client(vorzmq_sub_socket&, const curve_keys&);

std::string refusal_cause()
{
    if (vorzmq_last_error() == EACCES) {
        return "this client's key is not admitted (not in the server's --allow folder)";
    }
    if (vorzmq_last_error() == EPROTONOSUPPORT) {
        return "the server and this client disagree on CURVE: one speaks it, the other clear text (a CURVE server "
               "needs --curve-server with its public certificate; a clear-text one takes none)";
    }
    return "the CURVE handshake failed: a wrong --curve-server certificate, or this client is not admitted";
}

std::string curve_note(const curve_keys& keys)
{
    if (!is_curve_server(keys)) {
        return {};
    }
    return keys.allow_dir.empty() ? " (CURVE, any client with the public key)"
                                  : " (CURVE, only clients whose certificate is in " + keys.allow_dir + ")";
}

refusal_pacer::refusal_pacer(std::string command, std::string url) : command(std::move(command)), url(std::move(url))
{
}

namespace {

long long now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void refusal_pacer::refused()
{
    ++untold;
    if (told_at_ms < 0 || now_ms() - told_at_ms >= 30000) {
        std::cerr << "vorzmq " << command << ": refused by the server at " << url << ": " << refusal_cause();
        if (untold > 1) {
            std::cerr << " (" << untold << " refusals since the last line)";
        }
        std::cerr << "; trying again" << std::endl;
        untold = 0;
        told_at_ms = now_ms();
    }
    due_at_ms = now_ms() + (1000LL << std::min(attempts, 3U));
    ++attempts;
}

bool refusal_pacer::waiting() const
{
    return now_ms() < due_at_ms;
}

// ---- vorzmq keygen ----

namespace {

std::string certificate_text(const char* public_key, const char* secret_key)
{
    char generated[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(generated, sizeof generated, "%Y-%m-%d %H:%M:%S", &utc);
    std::string text = std::string("#   ****  Generated on ") + generated + " UTC by vorzmq  ****\n";
    if (secret_key != nullptr) {
        text += "#   ZeroMQ CURVE **Secret** Certificate\n"
                "#   DO NOT PROVIDE THIS FILE TO OTHER USERS nor change its permissions.\n";
    } else {
        text += "#   ZeroMQ CURVE Public Certificate\n"
                "#   Exchange securely, or use a secure mechanism to verify the contents\n"
                "#   of this file after exchange.\n";
    }
    text += "\nmetadata\ncurve\n    public-key = \"" + std::string(public_key) + "\"\n";
    if (secret_key != nullptr) {
        text += "    secret-key = \"" + std::string(secret_key) + "\"\n";
    }
    return text;
}

// Writes `text` to a new file `path` with exactly `mode`, never replacing an
// existing one and never leaving one half-written: the text goes to a
// temporary file made with that mode, which then takes the name only if it
// is free. Throws command_failure.
void write_new_file(const std::string& path, const std::string& text, mode_t mode)
{
    const std::string::size_type slash = path.rfind('/');
    std::string temporary = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".vorzmq-keygen-XXXXXX";
    const int fd = mkstemp(temporary.data());  // 0600, O_EXCL
    if (fd < 0) {
        throw command_failure("cannot write " + path + ": " + std::strerror(errno));
    }
    const auto give_up = [&](const std::string& what) {
        const int error = errno;
        close(fd);
        unlink(temporary.c_str());
        throw command_failure("cannot write " + path + ": " + what + std::strerror(error));
    };
    if (fchmod(fd, mode) != 0) {
        give_up("");
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            give_up("");
        }
        written += static_cast<std::size_t>(count);
    }
    if (fsync(fd) != 0) {
        give_up("");
    }
    if (link(temporary.c_str(), path.c_str()) != 0) {
        give_up(errno == EEXIST ? "it exists already (nothing was replaced): " : "");
    }
    close(fd);
    unlink(temporary.c_str());
}

}  // namespace

void add_keygen_options(CLI::App& command, keygen_options& options)
{
    command.add_option("NAME", options.name, "Certificate name: writes NAME.key (public) and NAME.key_secret")
        ->required();
    command.add_option("--dir", options.dir, "Folder to write them in (default: the current folder)")
        ->type_name("DIR");
}

int run_keygen(const keygen_options& options)
{
    if (options.name.empty() || options.name.front() == '.' || options.name.find('/') != std::string::npos) {
        throw usage_error("the certificate name must be a plain file name (not empty, no '/', not starting with "
                          "'.'), got '" + options.name + "'");
    }
    if (options.dir.empty()) {
        throw usage_error("--dir needs a folder, got an empty name");
    }
    const std::string base = options.dir == "." ? options.name
                                                : options.dir + (options.dir.back() == '/' ? "" : "/") + options.name;
    const std::string public_path = base + ".key";
    const std::string secret_path = base + ".key_secret";
    for (const std::string& path : {public_path, secret_path}) {
        struct stat existing {};
        if (lstat(path.c_str(), &existing) == 0) {
            throw command_failure("cannot write " + path + ": it exists already (nothing was replaced)");
        }
    }
    char public_key[41] = "";
    char secret_key[41] = "";
    if (zmq_curve_keypair(public_key, secret_key) != 0) {
        throw command_failure(std::string("cannot make a CURVE key pair: ") + zmq_strerror(zmq_errno()));
    }
    write_new_file(secret_path, certificate_text(public_key, secret_key), 0600);
    try {
        write_new_file(public_path, certificate_text(public_key, nullptr), 0644);
    } catch (const command_failure&) {
        unlink(secret_path.c_str());
        throw;
    }
    std::memset(secret_key, 0, sizeof secret_key);
    std::cout << public_path << '\n' << secret_path << '\n';
    return 0;
}

}  // namespace vorzmq_tool
