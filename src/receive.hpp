// R mode, and the receive loop that the L-mode listener runs too.
#pragma once

#include "answers.hpp"
#include "ending.hpp"
#include "options.hpp"

// Before the first output of R and L mode: the receive loop holds the lines itself.
void bufferLines();
// R and L mode show the new socket's descriptor, -1 included, before testing it.
Ending makeAndShowSocket(int &sock, int family);
// Readies a socket and the receive loop to take bursts: a larger socket buffer, the loop's
// memory in place for lines of up to `takeMost` bytes of a datagram, and with offload
// blocks of datagrams taken as one. One receive loop a process.
void prepareReceiving(int sock, Datagrams datagrams, std::size_t takeMost);

enum class ReceiveFailure { EndsTheRun, IsReportedAndSkipped };
struct Receiving {
    double idleSeconds = 0;  // the loop ends after so long with nothing arriving; 0: never
    Reporting reports;
    ReceiveFailure onFailure = ReceiveFailure::EndsTheRun;
    Datagrams datagrams = Datagrams::OnePacketEach;  // as the socket was prepared
    // Where the socket also sends, the network's answers to it are counted here.
    Answers *answers = nullptr;
};
// Prints every datagram until a stop (a signal, or asked by another thread), an idle end
// or a failure that ends the run; writes every line held and reports before it returns.
Ending receiveUntilEnd(int sock, const Receiving &how);
// L mode: an idle end is counted from the end of the sending at the earliest.
void sendingStarts();
void sendingIsDone();

Ending receiveMode(const CommandLine &line);
