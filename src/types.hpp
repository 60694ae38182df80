// The types and sizes every part of a run shares: how datagrams meet the kernel, their
// sizes, the address family, and when and how the reports go.
#pragma once

#include <cstdint>

constexpr std::int32_t MAX_SEND_SIZE = 1396;  // largest file chunk put in one datagram, without -l
constexpr std::int32_t LARGEST_DATAGRAM = 65507;  // the largest UDP payload over IPv4
constexpr std::int32_t RECV_MAX = 1399;  // most bytes taken from one received datagram, without -l

enum class Reports { OnATerminal, Always, Never };
enum class ReportFormat { Text, Json };  // -J: a JSON object a line

class StatusLine;

// When and how the reports go: -v, -q, -J and -i.
struct Reporting {
    Reports when = Reports::OnATerminal;
    ReportFormat format = ReportFormat::Text;
    double everySeconds = 0;  // -i: an interval report this often; 0: none
    StatusLine *status = nullptr;  // the run's, set by its mode; without one, reports go straight out
};

// How datagrams meet the kernel: one packet each, as a wire carries them, or in blocks that
// the kernel cuts on sending and coalesces on receiving (faster, but every filter and
// queue on the host sees the blocks).
enum class Datagrams { OnePacketEach, Offloaded };

// The address family a name is resolved in, where it has both.
enum class Family { Any, IPv4, IPv6 };

// Whether a datagram larger than the path may be cut into fragments on the way.
enum class Fragments { Allowed, Refused };

// What S and L set in the IP header of every datagram they send: --tos or --dscp, --ttl
// and --df. None set leaves the system's own.
struct PathControls {
    int trafficClass = -1;  // the IPv4 TOS byte or IPv6 traffic class, 0 to 255; -1: none set
    int hopLimit = -1;      // the TTL or hop limit, 1 to 255; -1: none set
    Fragments fragments = Fragments::Allowed;
};

// The DSCP values that have a name, as they are commonly written.
struct DscpName {
    const char *name;
    int value;
};
constexpr DscpName DSCP_NAMES[] = {
    {"cs0", 0},   {"cs1", 8},   {"af11", 10}, {"af12", 12}, {"af13", 14}, {"cs2", 16}, {"af21", 18},
    {"af22", 20}, {"af23", 22}, {"cs3", 24},  {"af31", 26}, {"af32", 28}, {"af33", 30}, {"cs4", 32},
    {"af41", 34}, {"af42", 36}, {"af43", 38}, {"cs5", 40},  {"ef", 46},   {"cs6", 48}, {"cs7", 56},
};
