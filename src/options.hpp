// The front end's reading of the command line: the options, the positional arguments and
// the numbers they hold, with no side effect, so that each can be tested on its own.
#pragma once

#include "types.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class OperationMode : int { None = 0, Send = 1, Receive = 2, SendAndListen = 3 };

// R with -e sends every datagram back to where it came from.
enum class Echo { None, EveryDatagram };

// What S and L send: the file's bytes, or with --probe probe chunks made as they go.
enum class Payload { File, Probe };

struct Options {
    double bitsPerSecond = 0;  // of payload, in S and L mode, and the most R -e echoes; 0: no limit
    double idleSeconds = 0;    // R and L mode end after so long with nothing arriving; 0: never;
                               // S waits so long for late answers where it reports them
    PathControls path;         // S and L
    Reporting reports;
    Datagrams datagrams = Datagrams::OnePacketEach;
    Echo echo = Echo::None;
    Payload payload = Payload::File;
    std::uint64_t probeBytes = 0;   // --probe=SIZE; 0: what -b sends in -t
    double sendSeconds = 0;         // -t: S and L send for so long; 0: the file once
    std::optional<std::uint32_t> run;  // --run: R and L report this probe run alone
    Family family = Family::Any;
    std::string source;  // the local address to bind, as typed; empty: any
    std::int32_t localPort = 0;  // S and L send from it; 0: their fixed port
    std::int32_t sendMost = MAX_SEND_SIZE;  // -l: the largest datagram sent
    std::int32_t takeMost = RECV_MAX;       // -l: the most bytes taken of one received
};

// What the command line asks for: one transfer, the help or the version, or a refusal.
struct CommandLine {
    enum class Asks { Transfer, Usage, Help, Version, Refusal } asks = Asks::Transfer;
    std::string refusal;  // why, for a refusal
    Options options;
    OperationMode mode = OperationMode::None;
    std::string fileName;
    std::int32_t port = 0;
    std::string service;  // the port given as a name, to be looked up; empty for a number
    std::string ipAddress;
    std::int32_t sendSize = MAX_SEND_SIZE;  // as given, or the largest: the front end settles it
    // S and L: the words from the fifth on where there are more than five, none of them read
    // (the send size is read only as the fifth and last).
    std::vector<std::string> unread;
};

CommandLine readCommandLine(int argc, char *argv[]);

// A number as atoi reads it, but one out of range saturates instead of being undefined.
std::int32_t atoiSaturated(const char *text);
// RATE in bits a second, with k, M or G in either case (powers of 1000): nothing when it
// is not one, or is below 1 bit/s or above any rate that pacing could give.
std::optional<double> rateOf(const char *text);
// BYTES of -l: a decimal number from 1 to LARGEST_DATAGRAM, nothing otherwise.
std::optional<std::int32_t> lengthOf(const char *text);
// The TOS byte of --tos, 0 to 255 in decimal or hexadecimal (0x...): nothing otherwise.
std::optional<int> tosOf(const char *text);
// The DSCP of --dscp, by name (ef, af11 ... af43, cs0 ... cs7) or 0 to 63 in decimal or
// hexadecimal, as the TOS byte it makes: nothing otherwise.
std::optional<int> dscpOf(const char *text);
// The TTL or hop limit of --ttl, 1 to 255 in decimal: nothing otherwise.
std::optional<int> hopLimitOf(const char *text);
// SECONDS, fractions allowed, more than 0 and at most a year: nothing otherwise.
std::optional<double> secondsOf(const char *text);
// SECONDS of -i: as secondsOf reads them, and SHORTEST_INTERVAL at least.
constexpr double SHORTEST_INTERVAL = 0.001;  // shorter, the reports would take a core and say nothing new
std::optional<double> intervalOf(const char *text);
// SIZE of --probe=SIZE, in bytes: a decimal number with k, m or g (powers of 1024), as
// frandle-probe make reads it; nothing otherwise, or for less than one chunk's header.
std::optional<std::uint64_t> probeSizeOf(const char *text);
// A local port to send from, 1 to 65535 in decimal: nothing otherwise.
std::optional<std::int32_t> localPortOf(const char *text);
