// Reports on standard error: what was sent and received, when a run ends, and a status
// line redrawn while it goes on (on a terminal only). Never on standard output.
#pragma once

#include "options.hpp"

#include <cstdint>
#include <string>
#include <vector>

double secondsNow();  // on a clock that only goes forward
bool reporting(Reports reports);
// A status line is drawn a few times a second at most, only on a terminal: true when it
// is time to draw one.
bool statusDue(Reports reports);
void drawStatus(const char *format, ...) __attribute__((format(printf, 1, 2)));
void clearStatus();  // before anything else reaches the terminal
void reportSending(Reports reports, std::int64_t datagrams, std::uint64_t bytes, double seconds);
// The kernel refused to cut a block after so many datagrams (for `error`): the rest goes
// one packet a datagram.
void reportMove(Reports reports, std::int64_t datagramsBefore, int error, int routeMtu);
// The route's MTU, where it changed while sending: larger datagrams went as fragments.
void reportRouteMtu(Reports reports, int before, int after);
// The network's answers, a line each, or that it answered nothing.
void reportAnswers(Reports reports, const std::vector<std::string> &lines);

struct Received {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cut = 0;  // longer than takeMost
    std::size_t takeMost = RECV_MAX;  // bytes taken of one datagram at most
    std::uint64_t senders = 0;
    bool sendersEstimated = false;  // past the count kept exactly
    std::uint64_t receives = 0;  // datagrams, or blocks of them where coalesced
    double first = 0;
    double last = 0;
};
// Datagrams dropped by the receiving socket. It counts what it queues: a datagram, or with
// coalescing a block of them, whose size is then estimated from the blocks received.
struct Drops {
    std::uint64_t datagrams = 0;
    bool estimated = false;
};
Drops dropsOf(std::uint64_t counted, Datagrams datagrams, const Received &received);
void reportReceiving(Reports reports, const Received &received, Drops dropped);
