// S mode, and the send loop that L mode runs as well.
#pragma once

#include "answers.hpp"
#include "ending.hpp"
#include "net.hpp"
#include "options.hpp"

#include <string>

constexpr std::int32_t SENDER_LOCAL_PORT = 40000;

struct Sending {
    std::size_t chunk = MAX_SEND_SIZE;  // bytes of the file in one datagram
    double bitsPerSecond = 0;           // 0: as fast as it goes
    Reporting reports;
    Datagrams datagrams = Datagrams::OnePacketEach;
};

// Opens the file to send ("-": standard input), or says on standard output that it cannot:
// -1 and errno then.
int openToSend(const std::string &fileName);
// Binds the sending socket of the family to the local address and port the options ask
// for, the fixed port by default; that one in use says how to choose another.
Ending bindSendingSocket(int sock, const Options &options, Family family, std::int32_t fixedPort);
// Sends the file as datagrams, closes it, then prints "sending done N" and reports. The
// answers of the network that come meanwhile are counted in `answers`. A stop (L mode)
// ends it early and silently.
Ending sendFile(int file, int sock, const Address &destination, const Sending &how, Answers &answers);
Ending sendMode(const CommandLine &line);
