// R mode, and the receive loop that the L-mode listener runs too.
#pragma once

#include "answers.hpp"
#include "live_probes.hpp"
#include "round_trips.hpp"
#include "ending.hpp"
#include "options.hpp"

#include <atomic>
#include <memory>

// The memory of the run's one receive loop, for lines of up to `takeMost` bytes of a
// datagram, which clear the run's status line where both go to a terminal, and with -e room
// for whole datagrams: made before the first datagram can come, since it must not be
// touched for the first time while a burst waits.
class ReceiveMemory {
public:
    ReceiveMemory(Datagrams datagrams, std::size_t takeMost, Echo echo, StatusLine &status);
    ~ReceiveMemory();
    ReceiveMemory(const ReceiveMemory &) = delete;
    ReceiveMemory &operator=(const ReceiveMemory &) = delete;

    struct Parts;
    Parts &parts() { return *parts_; }

private:
    std::unique_ptr<Parts> parts_;
};

enum class ReceiveFailure { EndsTheRun, IsReportedAndSkipped };
struct Receiving {
    double idleSeconds = 0;  // the loop ends after so long with nothing arriving; 0: never
    Reporting reports;
    ReceiveFailure onFailure = ReceiveFailure::EndsTheRun;
    Datagrams datagrams = Datagrams::OnePacketEach;  // as the socket was prepared
    // Where the socket also sends (L mode): the network's answers to it are counted here,
    Answers *answers = nullptr;
    // and an idle end is counted from the end of the sending at the earliest (infinite
    // while it goes on).
    const std::atomic<double> *sendingDoneAt = nullptr;
    // L mode: what comes back is timed against what was sent.
    RoundTrips *roundTrips = nullptr;
    LiveProbes *probes = nullptr;  // the probe chunks that arrive, judged as they come
    Echo echo = Echo::None;
    double echoBitsPerSecond = 0;  // the most -e sends back; 0: no limit
};
// Prints every datagram until a stop (a signal, or asked by another thread), an idle end
// or a failure that ends the run; writes every line held and reports before it returns.
Ending receiveUntilEnd(int sock, ReceiveMemory &memory, const Receiving &how);

Ending receiveMode(const CommandLine &command);
