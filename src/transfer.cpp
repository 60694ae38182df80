// The transfer driver, S mode, and the send loop that L mode runs as well.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

void sendFile(int file, int sock, const sockaddr_in &destination, std::span<char> buffer)
{
    const auto *to = reinterpret_cast<const sockaddr *>(&destination);
    const auto chunk = static_cast<std::size_t>(std::clamp(SendSize, 0, MAX_SEND_SIZE));
    for (;;) {
        const ssize_t got = read(file, buffer.data(), std::min(chunk, buffer.size()));
        if (got == 0)
            break;
        if (got < 0)
            fail("read", file);
        for (ssize_t at = 0; at < got;) {
            const ssize_t sent = sendto(sock, buffer.data() + at, got - at, 0, to, sizeof destination);
            if (sent < 0)
                fail("sendto", file);
            ++nSent;
            at += sent;
        }
    }
    close(file);
    printf("sending done %d\n", nSent);
}

static void sendMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress,
                     std::span<char> buffer)
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
    std::array<char, RECV_MAX> buffer;  // a file chunk, or the most taken from one datagram
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
