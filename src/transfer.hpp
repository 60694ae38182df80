// What the front end and the three transfer modes share.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum class OperationMode : int { None = 0, Send = 1, Receive = 2, SendAndListen = 3 };

constexpr std::int32_t MAX_SEND_SIZE = 1396;  // largest file chunk put in one datagram
constexpr std::int32_t RECV_MAX = 1399;       // most bytes taken from one received datagram
constexpr std::int32_t SENDER_LOCAL_PORT = 40000;
constexpr std::int32_t LISTEN_LOCAL_PORT = 30000;

// Datagrams handed to the kernel in one send: one call a datagram would make the tool the
// slowest part of a fast path. The kernels that cut a send into datagrams take at most 64
// at once (later ones more), and a block beyond that would be refused every time.
constexpr std::size_t BATCH = 64;
constexpr std::size_t KERNEL_MAX_SEGMENTS = 64;
static_assert(BATCH <= KERNEL_MAX_SEGMENTS);
// The most one segmented send may carry: the payload of the largest IPv4 datagram.
constexpr std::size_t MAX_UDP_PAYLOAD = 65507;

// A datagram line: "rcvd ", at most RECV_MAX bytes, each shown as up to 4 on a terminal,
// a line end.
constexpr std::size_t LINE_MAX_BYTES = 5 + 4 * RECV_MAX + 1;

// What the options before the mode letter ask for; as they are, they change nothing.
struct Options {
    double bitsPerSecond = 0;  // of payload, in S and L mode; 0: as fast as it goes
    double idleSeconds = 0;    // R and L mode end after so long with nothing arriving; 0: never
    enum class Report { OnATerminal, Always, Never } report = Report::OnATerminal;
};
extern Options options;

extern std::int32_t SendSize;  // 0 to MAX_SEND_SIZE once the front end has settled it
extern std::int64_t nSent;
extern pthread_t recv_thread;

// Runs the one transfer of this process. Returns only from S and L mode, and at once
// for None; every failure ends the process where it happens.
void frandle(OperationMode mode, const std::string &fileName, std::int32_t port,
             const std::string &ipAddress);

// transfer.cpp: the pieces that S, R and L mode share.
// Reports a failed call by name with the system's reason and ends with status 1.
[[noreturn]] void fail(const char *call);
// Ends the process through fail("stdout") when standard output did not take what was
// written to it.
void checkOutput();
int openOrExit(const std::string &fileName);
sockaddr_in ipv4Address(in_addr_t address, std::int32_t port);
// R and L mode show the new socket's descriptor, -1 included, before testing it.
int makeAndShowSocket();
int bindLocal(int sock, std::int32_t port);
void sendFile(int file, int sock, const sockaddr_in &destination);

// receive.cpp
// Writes the datagram line of `length` bytes at `at`, which has room for 5 + length + 1
// bytes, and returns its end.
char *datagramLine(char *at, const char *bytes, std::size_t length);
// The same line as a terminal must show it: every control byte but the tab and the line
// end as \xHH, and a backslash as \\, so that a peer cannot drive the terminal. Needs room
// for 5 + 4 * length + 1 bytes.
char *terminalLine(char *at, const char *bytes, std::size_t length);
// Before the first output of R and L mode: the receive loop holds the lines itself.
void bufferLines();
// Readies a socket and the receive loop to take bursts: a larger socket buffer, blocks of
// datagrams taken as one, and the loop's memory in place.
void prepareReceiving(int sock);
// Until the end of the process, a stop signal first writes out every line received.
void keepLinesOnStop();
enum class ReceiveFailure { EndsTheProcess, IsReportedAndSkipped };
// L mode: an idle end is counted from the end of the sending at the earliest.
void sendingStarts();
void sendingIsDone();
[[noreturn]] void receiveForever(int sock, ReceiveFailure onFailure);
[[noreturn]] void receiveMode(std::int32_t port);

// report.cpp: what was sent and received, on standard error, and a status line while it
// goes on (on a terminal only).
double secondsNow();  // on a clock that only goes forward
bool reporting();
// Which status line the process shows: S mode's sending, or R and L mode's receiving.
enum class Status { None, Sending, Receiving };
extern Status statusLine;  // set by the mode before it starts
// A status line is drawn a few times a second at most, only on a terminal: true when it
// is time to draw this one.
bool statusDue(Status which);
void drawStatus(const char *format, ...) __attribute__((format(printf, 1, 2)));
void clearStatus();  // before anything else reaches the terminal
void reportSending(std::int64_t datagrams, std::uint64_t bytes, double seconds);
struct Received {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cut = 0;  // longer than RECV_MAX
    std::uint64_t senders = 0;
    double first = 0;
    double last = 0;
};
void reportReceiving(const Received &received, std::uint64_t dropped);

// listen.cpp
void listenMode(const std::string &fileName, std::int32_t port, const std::string &ipAddress);
void *setupRecv(void *sock);
