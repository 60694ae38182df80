// L mode: sends a file from the listening port while a second thread prints what comes back.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

void *setupRecv(void *sock)
{
    std::array<char, TRANSFER_SIZE> buffer;  // the listener's own: the sender keeps the other
    printArrivals(static_cast<int>(reinterpret_cast<std::intptr_t>(sock)), buffer, false);
    return nullptr;
}

void listenMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress,
                TransferBuffer buffer)
{
    bufferLines();
    const int file = openOrExit(fileName);
    const int sock = shownSocket(file);
    if (bindLocal(sock, LISTEN_LOCAL_PORT) < 0)
        fail("bind", file);
    const sockaddr_in destination = ipv4Address(inet_addr(ipAddress.c_str()), port);

    widenReceiveBuffer(sock);  // before the first datagram can come back
    keepLinesOnStop();
    const int started = pthread_create(&recv_thread, nullptr, setupRecv,
                                       reinterpret_cast<void *>(static_cast<std::intptr_t>(sock)));
    if (started != 0) {
        errno = started;
        fail("pthread_create", file);
    }
    sendFile(file, sock, destination, buffer);
    fflush(stdout);  // from here on only the listener prints: show the count now
}
