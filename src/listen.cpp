// L mode: sends a file from the listening port while a second thread prints what comes back.
#include "transfer.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

void *setupRecv(void *sock)
{
    receiveForever(static_cast<int>(reinterpret_cast<std::intptr_t>(sock)), ReceiveFailure::IsReportedAndSkipped);
}

void listenMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress)
{
    bufferLines();
    const int file = openOrExit(fileName);
    const int sock = makeAndShowSocket();
    prepareReceiving(sock);  // before the first datagram can come back
    sendingStarts();
    if (bindLocal(sock, LISTEN_LOCAL_PORT) < 0)
        fail("bind");
    const sockaddr_in destination = ipv4Address(inet_addr(ipAddress.c_str()), port);

    keepLinesOnStop();
    const int started = pthread_create(&recv_thread, nullptr, setupRecv,
                                       reinterpret_cast<void *>(static_cast<std::intptr_t>(sock)));
    if (started != 0) {
        errno = started;
        fail("pthread_create");
    }
    // Stop signals go to the listener, which writes out its lines and ends the process: the
    // sends are never cut short by one.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    sendFile(file, sock, destination);
    sendingIsDone();
}
