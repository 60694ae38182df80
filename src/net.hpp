// Addresses, sockets and the file to send: what the three modes need of the system before
// a transfer starts. It calls none of them; a failure is returned, and what it prints is
// only the lines a mode shows of its setup.
#pragma once

#include "ending.hpp"
#include "types.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
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
// Where to send: text that inet_addr reads (the empty text too) as it reads it, any other
// a host name or an IPv6 address (with a %zone), resolved in the family asked for, the
// first address the resolver gives. Or why not, in words.
Ending destinationAddress(const std::string &text, std::int32_t port, Family family, Address &destination);
// The local address to bind: the text as an address or name, in the family asked for.
// Where the text is empty, any address of the family; of either family (R's default), any
// IPv6 address, on which a socket of makeSocket takes IPv4 too, or where the system has no
// IPv6, any IPv4 address.
Ending localAddress(const std::string &text, std::int32_t port, Family family, Address &local);
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

// Opens the file to send ("-": standard input), or says on standard output that it
// cannot, and fails with status 255.
Ending openToSend(const std::string &fileName, int &file);
// S and L: the file to send, opened, and where to.
Ending openToSendTo(const std::string &fileName, const std::string &address, std::int32_t port, Family family,
                    int &file, Address &destination);
// Binds the sending socket of the family to the local address (`source`, empty for any)
// and port asked for, the fixed port where none is; that one in use says how to choose
// another.
Ending bindSendingSocket(int sock, const std::string &source, std::int32_t localPort, Family family,
                         std::int32_t fixedPort);
// R and L mode show the new socket's descriptor, -1 included, before testing it.
Ending makeAndShowSocket(int &sock, int family);
// Readies a socket to take bursts: a larger buffer, the kernel's time of arrival of each
// datagram, and with offload blocks of datagrams taken as one.
void prepareReceiving(int sock, Datagrams datagrams);
// L: the kernel's time of sending too, each datagram numbered in the order sent (each block
// with offload), through the error queue; and room there for the stamps of a burst.
void askForSendTimes(int sock);
// The kernel numbers the sends it stamps from 0 again.
void restartSendTimeIds(int sock);
// Sets what the socket puts in the IP header of every datagram it sends to `destination`:
// the IPv6 options, and the IPv4 ones where it sends IPv4.
Ending applyPathControls(int sock, const Address &destination, const PathControls &path);
// Asks the kernel for the TOS byte or traffic class of every datagram received.
void askForTrafficClass(int sock, int family);
// Asks the kernel for the address each datagram was sent to (R -e answers from it).
void askForSentToAddress(int sock, int family);
