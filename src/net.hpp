// Addresses and sockets: what the three modes need of the system's network interfaces.
// It calls none of them, and reports nothing itself: a failure is returned.
#pragma once

#include "ending.hpp"
#include "options.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

// A destination or local address, of either family.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr *raw() const { return reinterpret_cast<const sockaddr *>(&storage); }
    int family() const { return storage.ss_family; }
};

// The text as inet_addr reads a dotted IPv4 address, with only the low 16 bits of the port.
Address ipv4Address(const std::string &text, std::int32_t port);
// Where to send: text that inet_addr reads (the empty text too) as it reads it, any other
// a host name or an IPv6 address (with a %zone), resolved in the family asked for, the
// first address the resolver gives. Or why not, in words.
std::variant<Address, std::string> destinationAddress(const std::string &text, std::int32_t port, Family family);
// The local address to bind: the text as an address or name, in the family asked for.
// Where the text is empty, any address of the family; of either family (R's default), any
// IPv6 address, on which a socket of makeSocket takes IPv4 too, or where the system has no
// IPv6, any IPv4 address.
std::variant<Address, std::string> localAddress(const std::string &text, std::int32_t port, Family family);
// The family of an address, as the options name it.
Family familyOf(const Address &address);
// The port of a UDP service name, or nothing.
std::optional<std::int32_t> udpServicePort(const std::string &name);

// A datagram socket of the family, or -1 and errno. One of IPv6 takes IPv4 too, as
// IPv4-mapped addresses: bound to any address, or sending to an IPv4-mapped one.
int makeSocket(int family);
// An IPv6 socket, before its bind, takes IPv6 alone.
void keepToIPv6(int sock);
Ending bindTo(int sock, const Address &local);
// The port a socket was bound to: the one asked for, or the system's choice for port 0.
int boundPort(int sock);
// The MTU of the route to the destination as the kernel knows it now, learned answers
// included, or -1.
int routeMtu(const Address &destination);
// What the socket dropped so far: each datagram it had no room for (the count SO_RXQ_OVFL
// would attach to each receive), and each one it refuses.
std::uint64_t droppedBy(int sock);
// From now on the socket refuses every datagram that arrives, before it takes any of the
// socket's memory (which its error queue shares); each is counted among its drops.
void refuseArrivals(int sock);
