// S mode, and the send loop that L mode runs as well.
#pragma once

#include "answers.hpp"
#include "ending.hpp"
#include "net.hpp"
#include "options.hpp"
#include "round_trips.hpp"

#include <string>

constexpr std::int32_t SENDER_LOCAL_PORT = 40000;

// How a file is sent; its reports go through a status line the mode has set.
struct Sending {
    std::size_t chunk = MAX_SEND_SIZE;  // bytes of the file in one datagram
    double bitsPerSecond = 0;           // 0: as fast as it goes
    Reporting reports;
    Datagrams datagrams = Datagrams::OnePacketEach;
    RoundTrips *roundTrips = nullptr;  // L: every datagram's bytes and send time
};

// Sends the file as datagrams, closes it, then prints "sending done N" and reports. The
// answers of the network that come meanwhile are counted in `answers`. A stop (L mode)
// ends it early and silently.
Ending sendFile(int file, int sock, const Address &destination, const Sending &how, Answers &answers);
Ending sendMode(const CommandLine &command);
