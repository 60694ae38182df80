// S mode, and the send loop that L mode runs as well.
#pragma once

#include "answers.hpp"
#include "ending.hpp"
#include "net.hpp"
#include "options.hpp"
#include "probe_lib.hpp"
#include "round_trips.hpp"

#include <optional>

#include <string>

constexpr std::int32_t SENDER_LOCAL_PORT = 40000;

// How a file is sent; its reports go through a status line the mode has set.
struct Sending {
    std::size_t chunk = MAX_SEND_SIZE;  // bytes of the file in one datagram
    double bitsPerSecond = 0;           // 0: as fast as it goes
    Reporting reports;
    Datagrams datagrams = Datagrams::OnePacketEach;
    RoundTrips *roundTrips = nullptr;  // L: every datagram's bytes and send time
    double seconds = 0;  // -t: send for so long, the file again from its start as often as needed
    // --probe: the chunks of a run made as they go, each with its send time, instead of
    // the file's bytes.
    std::optional<probe::Layout> probe;
};

// Sends the file as datagrams, closes it, then prints "sending done N" and reports. The
// answers of the network that come meanwhile are counted in `answers`. A stop (L mode)
// ends it early and silently.
Ending sendFile(int file, int sock, const Address &destination, const Sending &how, Answers &answers);
Ending sendMode(const CommandLine &command);
// --probe: how the probe is cut into chunks of the send size, or why it cannot be; nothing
// without --probe.
Ending probeLayoutFor(const Options &options, std::int32_t sendSize, std::optional<probe::Layout> &layout);
