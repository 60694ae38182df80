// Reports on standard error: what was sent and received, when a run ends, and a status
// line redrawn while it goes on (on a terminal only). Never on standard output.
#pragma once

#include "options.hpp"

#include <cstdint>

double secondsNow();  // on a clock that only goes forward
bool reporting(Reports reports);
// A status line is drawn a few times a second at most, only on a terminal: true when it
// is time to draw one.
bool statusDue(Reports reports);
void drawStatus(const char *format, ...) __attribute__((format(printf, 1, 2)));
void clearStatus();  // before anything else reaches the terminal
void reportSending(Reports reports, std::int64_t datagrams, std::uint64_t bytes, double seconds);

struct Received {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t cut = 0;  // longer than RECV_MAX
    std::uint64_t senders = 0;
    bool sendersEstimated = false;  // past the count kept exactly
    double first = 0;
    double last = 0;
};
void reportReceiving(Reports reports, const Received &received, std::uint64_t dropped);
