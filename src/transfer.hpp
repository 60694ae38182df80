// What the front end and the three transfer modes share.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class OperationMode : int { None = 0, Send = 1, Receive = 2, SendAndListen = 3 };

constexpr std::int32_t MAX_SEND_SIZE = 1396;  // largest file chunk put in one datagram
constexpr std::int32_t RECV_MAX = 1399;       // most bytes taken from one received datagram
constexpr std::int32_t SENDER_LOCAL_PORT = 40000;
constexpr std::int32_t LISTEN_LOCAL_PORT = 30000;

// Datagrams handed to the kernel in one call, sending or receiving: one call a datagram
// would make the tool the slowest part of a fast path.
constexpr std::size_t BATCH = 64;
// The most one segmented send may carry: the payload of the largest IPv4 datagram.
constexpr std::size_t MAX_UDP_PAYLOAD = 65507;
// Room for a batch of received datagrams, which is more than any batch of chunks to send.
constexpr std::size_t TRANSFER_SIZE = BATCH * RECV_MAX;
static_assert(TRANSFER_SIZE >= MAX_UDP_PAYLOAD);
using TransferBuffer = std::span<char, TRANSFER_SIZE>;

extern std::int32_t SendSize;
extern std::int32_t nSent;
extern pthread_t recv_thread;

// Runs the one transfer of this process. Returns only from S and L mode, and at once
// for None; every failure ends the process where it happens.
void frandle(OperationMode mode, const std::string &fileName, std::int32_t port,
             const std::string &ipAddress);

// transfer.cpp: the pieces that S, R and L mode share.
// Reports a failed call by name with the system's reason and ends with status 1,
// closing a file still open first.
[[noreturn]] void fail(const char *call, int openFile = -1);
int openOrExit(const std::string &fileName);
sockaddr_in ipv4Address(in_addr_t address, std::int32_t port);
// R and L mode show the new socket's descriptor, -1 included, before testing it.
int shownSocket(int openFile = -1);
int bindLocal(int sock, std::int32_t port);
void sendFile(int file, int sock, const sockaddr_in &destination, TransferBuffer buffer);

// receive.cpp
void printDatagram(const char *bytes, std::size_t length);
// When standard output is not a terminal, lines are written out in large blocks; call
// before the first output.
void bufferLines();
// Asks for room to queue many datagrams while lines are being written; without a word
// where the system allows less.
void widenReceiveBuffer(int sock);
// Until the end of the process, a stop signal first writes out every line received.
void keepLinesOnStop();
[[noreturn]] void printArrivals(int sock, TransferBuffer buffer, bool failureEnds);
[[noreturn]] void receiveMode(std::int32_t port, TransferBuffer buffer);

// listen.cpp
void listenMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress,
                TransferBuffer buffer);
void *setupRecv(void *sock);
