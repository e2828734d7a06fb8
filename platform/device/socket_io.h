// Small helpers over Unix-domain stream sockets, shared by the device handle
// and the device endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform::sockio {

// Connects a new stream socket to the endpoint at `path`.  Paths longer than
// sockaddr_un allows are reached through the folder's /proc/self/fd entry.
// Returns the descriptor, or -1 with errno set.
int ConnectUnix(const std::string& path);

// Binds and listens on `path`.  Returns the descriptor, or -1 with errno set.
int ListenUnix(const std::string& path);

// The same for the endpoint `name` inside the open folder `dirFd`: the
// address is the folder's /proc/self/fd entry, so the endpoint is made or
// reached in exactly that folder even if its path now names another one.
// Without /proc the folder's path (`folder`) is used when it still names
// the same folder.
int ConnectAt(int dirFd, const std::string& folder, const std::string& name);
int ListenAt(int dirFd, const std::string& folder, const std::string& name);

// Writes all bytes (no SIGPIPE).  False when the peer is gone or on error.
bool SendAll(int fd, std::span<const uint8_t> bytes);
bool SendAll(int fd, std::span<const uint8_t> head, std::span<const uint8_t> tail);

// Reads exactly `bytes.size()` bytes.  False on end of stream or error.
bool RecvAll(int fd, std::span<uint8_t> bytes);

}  // namespace platform::sockio
