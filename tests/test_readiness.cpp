// SPDX-License-Identifier: MIT
// The readiness step after every successful bind, seen through the two
// binding sockets: the 500 ms pause, mode 0771 on an ipc:// endpoint file,
// and the warning when the mode cannot be set.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/thread/thread.hpp>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

constexpr char readiness_function[] = "void wait_for_file_to_manifest_and_set_perms(const string&)";
const auto readiness_pause = std::chrono::milliseconds(500);

struct binding_socket {
    const char* name;
    // Constructs the socket and binds it; the result keeps it bound.
    std::function<std::shared_ptr<void>(vorzmq_context&, const std::string&)> bind;
};

const std::vector<binding_socket>& binding_sockets()
{
    static const std::vector<binding_socket> table{
        {"reply",
         [](vorzmq_context& context, const std::string& url) {
             auto socket = std::make_shared<vorzmq_reply_socket>(context, url);
             socket->init_if_necessary();
             return std::shared_ptr<void>(socket);
         }},
        {"publish",
         [](vorzmq_context& context, const std::string& url) {
             auto socket = std::make_shared<vorzmq_pub_socket>(context, url);
             socket->init_if_necessary();
             return std::shared_ptr<void>(socket);
         }},
    };
    return table;
}

std::optional<struct stat> link_status(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return status;
}

std::string permission_warning(const std::string& url, int error)
{
    return "Failed to Set Permissions for ZMQ URL: " + url + " -- " + std::strerror(error);
}

class readiness_test : public library_test {};

// Without /proc, glibc cannot carry out fchmodat's refusal to follow links
// and fails it with EOPNOTSUPP; the step then falls back to lstat and chmod.
// Each case runs both ways.
const bool proc_missing_or_not[] = {false, true};

void arm_missing_proc(bool missing)
{
    reset_faults();
    if (missing) {
        arm_fault(zmq_call::fchmodat, EOPNOTSUPP, 1000);
    }
}

TEST_F(readiness_test, ipc_endpoint_file_gets_mode_0771_whatever_the_umask)
{
    // Under umask 077 libzmq itself creates the file as srwx------.
    scoped_umask strict(077);
    vorzmq_context context;
    for (const bool proc_missing : proc_missing_or_not)
    for (const auto& binder : binding_sockets()) {
        SCOPED_TRACE(std::string(binder.name) + (proc_missing ? ", without /proc" : ""));
        captured_log().clear();
        arm_missing_proc(proc_missing);
        const std::string name = unique_name(binder.name);
        const std::string url = home->queue_url(name);
        const auto start = std::chrono::steady_clock::now();
        const auto bound = binder.bind(context, url);
        EXPECT_GE(elapsed_since(start), readiness_pause);
        const auto status = link_status(home->path() + "/queues/" + name);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(S_ISSOCK(status->st_mode));
        EXPECT_EQ(status->st_mode & 07777, 0771u) << std::oct << (status->st_mode & 07777);
        EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
        EXPECT_EQ(injected_failures(), proc_missing ? 1 : 0);
    }
}

// ipc://* binds a path that libzmq makes up: the mode lands there.
TEST_F(readiness_test, wildcard_ipc_endpoint_gets_the_mode_on_its_bound_path)
{
    scoped_umask strict(077);
    vorzmq_context context;
    vorzmq_reply_socket reply(context, "ipc://*");
    reply.init_if_necessary();
    const std::string bound = reply.last_endpoint();
    ASSERT_EQ(bound.rfind("ipc://", 0), 0u) << bound;  // libzmq makes it up in the working directory
    const auto status = link_status(bound.substr(std::strlen("ipc://")));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->st_mode & 07777, 0771u) << std::oct << (status->st_mode & 07777);
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// A host that interrupts its boost threads gets no boost::thread_interrupted
// out of the pause: the interruption stays pending for the host's own code.
TEST_F(readiness_test, the_pause_is_no_interruption_point)
{
    vorzmq_context context;
    const std::string url = queue_url("boost");
    std::atomic<bool> interrupted{false};
    bool escaped = false;
    bool pending_after = false;
    boost::thread host([&] {
        while (!interrupted) {
            std::this_thread::yield();
        }
        try {
            vorzmq_reply_socket(context, url).init_if_necessary();
        } catch (const boost::thread_interrupted&) {
            escaped = true;
            return;
        }
        pending_after = boost::this_thread::interruption_requested();
    });
    host.interrupt();
    interrupted = true;
    host.join();
    EXPECT_FALSE(escaped);
    EXPECT_TRUE(pending_after);
}

TEST_F(readiness_test, relative_ipc_path_is_resolved_from_the_working_directory)
{
    scoped_umask strict(077);
    scoped_cwd in_home(home->path());
    vorzmq_context context;
    const std::string name = unique_name("relative");
    const auto bound = binding_sockets().front().bind(context, "ipc://queues/" + name);
    const auto status = link_status(home->path() + "/queues/" + name);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(S_ISSOCK(status->st_mode));
    EXPECT_EQ(status->st_mode & 07777, 0771u) << std::oct << (status->st_mode & 07777);
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// An endpoint in Linux's abstract namespace ("@name") has no file, so the
// mode cannot be set: a warning, and the bind stays in effect.
TEST_F(readiness_test, endpoint_without_a_file_is_a_warning_and_stays_bound)
{
    scoped_cwd in_home(home->path());  // where the path "@name" would be looked up
    vorzmq_context context;
    for (const auto& binder : binding_sockets()) {
        SCOPED_TRACE(binder.name);
        captured_log().clear();
        const std::string url = "ipc://@" + unique_name(binder.name);
        const auto start = std::chrono::steady_clock::now();
        const auto bound = binder.bind(context, url);
        EXPECT_GE(elapsed_since(start), readiness_pause);
        const std::string warning = permission_warning(url, ENOENT);
        EXPECT_EQ(problems(), std::vector<std::string>{"WARN " + warning});
        expect_record_at(warn_level, warning, readiness_function);
        EXPECT_FALSE(link_status(url.substr(6)).has_value());
    }

    const std::string url = "ipc://@" + unique_name("served");
    vorzmq_reply_socket reply(context, url);
    reply.init_if_necessary();
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"ping"});
    std::stringstream request;
    EXPECT_TRUE(reply.receive(request, true));
    EXPECT_EQ(request.str(), "ping");
    EXPECT_EQ(client.receive_frames(), (std::vector<std::string>{std::string("ok\0", 3)}));
}

// Whoever can write the queue directory could swap the endpoint file for a
// link during the pause; the mode must then not land on the link's target.
// A watcher swaps the fresh socket file for a link as soon as it appears,
// well inside the 500 ms pause.
TEST_F(readiness_test, link_at_the_endpoint_path_is_not_followed)
{
    scoped_umask strict(077);
    vorzmq_context context;
    for (const bool proc_missing : proc_missing_or_not)
    for (const auto& binder : binding_sockets()) {
        SCOPED_TRACE(std::string(binder.name) + (proc_missing ? ", without /proc" : ""));
        captured_log().clear();
        arm_missing_proc(proc_missing);
        const std::string target = home->path() + "/" + unique_name("target");
        std::ofstream(target) << "private";
        ASSERT_EQ(chmod(target.c_str(), 0600), 0);
        const std::string path = home->path() + "/queues/" + unique_name(binder.name);
        const std::string url = "ipc://" + path;

        std::atomic<bool> swapped{false};
        std::thread watcher([&] {
            const bool appeared = wait_until([&] {
                const auto status = link_status(path);
                return status && S_ISSOCK(status->st_mode);
            });
            if (!appeared) {
                return;
            }
            const std::string link = path + ".link";
            swapped = symlink(target.c_str(), link.c_str()) == 0 && rename(link.c_str(), path.c_str()) == 0;
        });
        const auto bound = binder.bind(context, url);
        watcher.join();
        ASSERT_TRUE(swapped.load());

        const std::string warning = permission_warning(url, EOPNOTSUPP);
        EXPECT_EQ(problems(), std::vector<std::string>{"WARN " + warning});
        expect_record_at(warn_level, warning, readiness_function);
        const auto link_itself = link_status(path);
        ASSERT_TRUE(link_itself.has_value());
        EXPECT_TRUE(S_ISLNK(link_itself->st_mode));
        const auto target_status = link_status(target);
        ASSERT_TRUE(target_status.has_value());
        EXPECT_EQ(target_status->st_mode & 07777, 0600u) << std::oct << (target_status->st_mode & 07777);
        EXPECT_EQ(injected_failures(), proc_missing ? 1 : 0);
    }
}

// A trailing slash makes the kernel resolve a link even when told not to
// follow one; an abstract endpoint such as ipc://@name/ binds fine and would
// hand the mode to whatever a link "@name" in the working directory names.
TEST_F(readiness_test, trailing_slash_does_not_lead_through_a_link)
{
    scoped_cwd in_home(home->path());
    const std::string name = "@" + unique_name("slash");
    const std::string target = home->path() + "/" + unique_name("private-dir");
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(symlink(target.c_str(), name.c_str()), 0);

    vorzmq_context context;
    const std::string url = "ipc://" + name + "/";
    const auto bound = binding_sockets().front().bind(context, url);

    EXPECT_EQ(problems(), std::vector<std::string>{"WARN " + permission_warning(url, EOPNOTSUPP)});
    const auto target_status = link_status(target);
    ASSERT_TRUE(target_status.has_value());
    EXPECT_EQ(target_status->st_mode & 07777, 0700u) << std::oct << (target_status->st_mode & 07777);
}

TEST_F(readiness_test, tcp_endpoint_gets_the_pause_only)
{
    vorzmq_context context;
    for (const auto& binder : binding_sockets()) {
        SCOPED_TRACE(binder.name);
        const std::string url = free_tcp_url();
        captured_log().clear();
        const auto start = std::chrono::steady_clock::now();
        const auto bound = binder.bind(context, url);
        EXPECT_GE(elapsed_since(start), readiness_pause);
        // Only the constructor's DEBUG record: nothing from the readiness step.
        EXPECT_EQ(all_messages().size(), 1u) << testing::PrintToString(all_messages());
        EXPECT_EQ(all_messages().front().rfind("DEBUG Initializing ZMQ ", 0), 0u);
    }
}

}  // namespace
