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
