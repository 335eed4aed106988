// SPDX-License-Identifier: MIT
// Endpoints: where a queue's ipc file lives, binding without taking over
// another process's live endpoint, and opening a fresh ipc endpoint to the
// file's group.
#ifndef VORZMQ_SRC_ENDPOINT_H
#define VORZMQ_SRC_ENDPOINT_H

#include <string>

namespace vorzmq::internal {

// The file system path of an ipc:// endpoint, or empty for other transports
// and for abstract names ("@name"), which the kernel itself keeps unique.
std::string ipc_path(const std::string& url);

// Whether a process listens on the ipc path.
bool ipc_listener_present(const std::string& path);

// zmq_bind that never takes over an ipc path where another process listens
// (it fails with EADDRINUSE, as tcp does), and that waits out this process's
// own listener of the same endpoint, which an asynchronous zmq_close may leave
// open for a moment after a reset. Returns zmq_bind's result; errno is set.
int bind_endpoint(void* socket, const std::string& url);

// What every socket gets besides its class's options: ZMTP 3 peers only,
// and on a binding socket a bound on inbound frames (WARN when an option
// cannot be set; the record names `signature` as its function).
void harden_socket(const char* signature, void* socket, bool binds);

// Pauses so that a fresh bind can settle, then lets processes of the file's
// group connect to an ipc:// endpoint (WARN when it cannot).
void wait_for_file_to_manifest_and_set_perms(const std::string& url);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_ENDPOINT_H
