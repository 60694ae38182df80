// The transfer driver, S mode, and the send loop that L mode runs as well.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::int32_t SendSize = MAX_SEND_SIZE;
std::int32_t nSent = 0;
pthread_t recv_thread;

void fail(const char *call, int openFile)
{
    const int reason = errno;  // close() must not replace the reason being reported
    if (openFile >= 0)
        close(openFile);
    errno = reason;
    perror(call);
    exit(1);
}

int openOrExit(const std::string &fileName)
{
    const int file = open(fileName.c_str(), O_RDONLY);
    if (file < 0) {
        printf("Can't read %s in brasket\n", fileName.c_str());
        exit(-1);
    }
    return file;
}

sockaddr_in ipv4Address(in_addr_t address, std::int32_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<std::uint16_t>(port));  // only the low 16 bits count
    result.sin_addr.s_addr = address;
    return result;
}

int shownSocket(int openFile)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const int reason = errno;  // the first output can change errno (a terminal check)
    printf("socket is %d\n", sock);
    if (sock < 0) {
        errno = reason;
        fail("socket", openFile);
    }
    return sock;
}

int bindLocal(int sock, std::int32_t port)
{
    const sockaddr_in local = ipv4Address(htonl(INADDR_ANY), port);
    return bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local);
}

// One call for a whole block: the kernel cuts it into datagrams of `chunk` bytes, the last
// one shorter. False when the kernel or the route refuses to, having sent nothing.
static bool sendSegmented(int sock, const sockaddr_in &destination, std::span<char> block,
                          std::size_t chunk)
{
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(std::uint16_t))> control{};
    iovec bytes{block.data(), block.size()};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in *>(&destination);
    message.msg_namelen = sizeof destination;
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr *segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(chunk);
    std::memcpy(CMSG_DATA(segment), &size, sizeof size);
    if (sendmsg(sock, &message, 0) < 0)
        return false;
    nSent += static_cast<std::int32_t>((block.size() + chunk - 1) / chunk);
    return true;
}

// One datagram a call: where segmentation is refused, and to report a send that fails.
static void sendEach(int file, int sock, const sockaddr_in &destination, std::span<char> block,
                     std::size_t chunk)
{
    const auto *to = reinterpret_cast<const sockaddr *>(&destination);
    for (std::size_t start = 0; start < block.size(); start += chunk) {
        const auto piece = block.subspan(start, std::min(chunk, block.size() - start));
        for (std::size_t at = 0; at < piece.size();) {
            const ssize_t sent = sendto(sock, piece.data() + at, piece.size() - at, 0, to, sizeof destination);
            if (sent < 0)
                fail("sendto", file);
            ++nSent;
            at += static_cast<std::size_t>(sent);
        }
    }
}

void sendFile(int file, int sock, const sockaddr_in &destination, TransferBuffer buffer)
{
    const auto chunk = static_cast<std::size_t>(std::clamp(SendSize, 0, MAX_SEND_SIZE));
    // Whole chunks, so that only a short read (end of file, a pipe) ends a datagram early.
    const std::size_t block = chunk == 0 ? 0 : std::min(BATCH, MAX_UDP_PAYLOAD / chunk) * chunk;
    bool segmenting = true;  // until the first refusal: the route stays the same
    for (;;) {
        const ssize_t got = read(file, buffer.data(), block);
        if (got == 0)
            break;
        if (got < 0)
            fail("read", file);
        const auto bytes = buffer.first(static_cast<std::size_t>(got));
        segmenting = segmenting && sendSegmented(sock, destination, bytes, chunk);
        if (!segmenting)
            sendEach(file, sock, destination, bytes, chunk);
    }
    close(file);
    printf("sending done %d\n", nSent);
}

static void sendMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress,
                     TransferBuffer buffer)
{
    const int file = openOrExit(fileName);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0)
        fail("socket");
    if (bindLocal(sock, SENDER_LOCAL_PORT) < 0)
        fail("bind");
    sendFile(file, sock, ipv4Address(inet_addr(ipAddress.c_str()), port), buffer);
}

void frandle(OperationMode mode, const std::string &fileName, std::int32_t port,
             const std::string &ipAddress)
{
    std::array<char, TRANSFER_SIZE> buffer;  // a batch of file chunks, or of received datagrams
    switch (mode) {
    case OperationMode::Send:
        sendMode(fileName, port, ipAddress, buffer);
        break;
    case OperationMode::Receive:
        receiveMode(port, buffer);  // never returns
    case OperationMode::SendAndListen:
        listenMode(fileName, port, ipAddress, buffer);
        break;
    case OperationMode::None:
        break;
    }
}
