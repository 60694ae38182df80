// Addresses and sockets: what the three modes need of the system's network interfaces.
// It calls none of them, and reports nothing itself: a failure is returned.
#pragma once

#include "ending.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

// A destination or local address, of either family.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr *raw() const { return reinterpret_cast<const sockaddr *>(&storage); }
    int family() const { return storage.ss_family; }
};

// The text as inet_addr reads a dotted IPv4 address, with only the low 16 bits of the port.
Address ipv4Address(const std::string &text, std::int32_t port);
// Any local address, at the port.
Address anyLocalAddress(std::int32_t port);

// A datagram socket, or -1 and errno.
int makeSocket();
Ending bindTo(int sock, const Address &local);
// The port a socket was bound to: the one asked for, or the system's choice for port 0.
int boundPort(int sock);
// The MTU of the route to the destination as the kernel knows it now, learned answers
// included, or -1.
int routeMtu(const Address &destination);
