// Front end: reads the command line, runs the one transfer it asks for, and ends the
// process in the one way each ending calls for.
#include "ending.hpp"
#include "listen.hpp"
#include "net.hpp"
#include "options.hpp"
#include "receive.hpp"
#include "report.hpp"
#include "send.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <new>
#include <cstdio>
#include <string>

static constexpr const char *usage = "usage:frandle S|R|L fileName port [ipAddress] [send size]";

static constexpr const char *help = R"(
Sends a file as UDP datagrams, prints the datagrams that arrive, or both at once.

  S  sends fileName (- for standard input) to ipAddress:port from local port 40000,
     one datagram for each chunk of send size bytes (1396 at most and by default, or
     BYTES with -l), and prints "sending done N"; ipAddress may be IPv4, IPv6 or a
     name, and port a UDP service name
  R  binds port and prints every datagram that arrives as "rcvd <bytes>", until stopped
  L  sends like S, from local port 30000, and prints every datagram that comes back to
     that port, until stopped

Options, anywhere among the arguments (-- ends them):
  -b, --bitrate RATE    S, L: send RATE bits of payload a second at most, in bursts of
                        about a millisecond (k, M, G in either case: thousands,
                        millions, billions; 1 to 1000G); R -e: echo so much at most
  -e, --echo            R: send every datagram back where it came from, from the
                        address it was sent to; never to its own port, a port below
                        1024, port 0 or a broadcast or multicast address
  -w, --wait SECONDS    R, L: end when nothing has arrived for SECONDS, a year at most
                        (in L, counted from the end of the sending at the earliest);
                        S: wait SECONDS for late answers instead of 0.25 (when it reports)
  -4, -6                resolve names to IPv4 or IPv6 only, and keep R to that family
                        (without them R takes both)
  -s, --source ADDRESS  bind this local address: R receives only there, S and L send
                        from it
  -p, --local-port PORT S, L: send from PORT instead of 40000 or 30000
  -i, --interval SECONDS
                        a report every SECONDS (0.001 to a year) while the run goes on,
                        of that interval and in all, also when standard error is not a
                        terminal
  -J, --json            every report as a JSON object on a line of its own, also when
                        standard error is not a terminal; no status line
  -v, --verbose         report what was sent and received on standard error, also when
                        it is not a terminal
  -q, --quiet           no report and no status line, even on a terminal
  -l, --length BYTES    S, L: send datagrams of up to BYTES (1 to 65507) instead of 1396;
                        R, L: take up to BYTES of each datagram instead of 1399
  -O, --offload         S, R, L: let the kernel cut blocks into datagrams on sending
                        and coalesce them on receiving; faster, but the filters and
                        queues of this host (and loopback, veth, bridges) see blocks,
                        not datagrams, and drops at R's socket are then estimated
  --tos VALUE           S, L: the IPv4 TOS byte or IPv6 traffic class of every datagram,
                        0 to 255 (decimal, or hex as 0x..)
  --dscp NAME|VALUE     S, L: the DSCP of every datagram: ef, af11 ... af43, cs0 ... cs7,
                        or 0 to 63; R with -v counts the datagrams it gets by DSCP
  --ttl, --hop-limit N  S, L: the TTL or hop limit of every datagram, 1 to 255
  --df                  S, L: don't fragment: a datagram larger than the path MTU is
                        refused, counted, and the rest go on
  --probe[=SIZE]        S, L: send probe chunks made as they go, each with its send
                        time, instead of the file (give -): SIZE bytes (k, m, g: powers
                        of 1024), or without SIZE what -b sends in -t
  -t, --time SECONDS    S, L: send for SECONDS, the file again from its start as often
                        as needed; with --probe, every chunk goes, late or not
  --run RUN             R, L: of the probe runs that arrive, report this one alone
  -h, --help            this text
  -V, --version         the name and version

The manual: man frandle, and man frandle-probe for checking what arrived.)";

// A standard descriptor that was closed gets one that takes no writes: otherwise the
// socket would take its number, and lines or failure reports would go into it.
static void holdStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free number: this one
}

// Words that S and L passed over: said where reports are read, for a send size that an
// extra word kept from being read. The run goes on as it would without them.
static void tellUnread(const CommandLine &command)
{
    if (command.unread.empty() || !reporting(command.options.reports))
        return;
    std::string words;
    if (command.options.reports.format == ReportFormat::Json) {
        for (const std::string &word : command.unread)
            words.append(words.empty() ? "" : ",").append(jsonString(word));
        fputs(JsonLine("unread-words").json("words", "[" + words + "]").line().c_str(), stderr);
        return;
    }
    for (const std::string &word : command.unread)
        words.append(" '").append(word).append("'");
    fprintf(stderr, "frandle: words not read:%s (a send size is read only as the fifth argument and the last)\n", words.c_str());
}

// Runs the one transfer of this process, of a mode main has checked.
static Ending frandle(const CommandLine &command)
{
    if (command.mode == OperationMode::Send)
        return sendMode(command);
    if (command.mode == OperationMode::Receive)
        return receiveMode(command);
    return listenMode(command);
}

// The one way out: a failed call is named with the system's reason, and a stop signal
// ends the process as it would have ended it without us.
static int endWith(const Ending &ending)
{
    tellFailure(ending);
    if (ending.kind == Ending::Kind::StopSignal) {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, ending.signal);
        signal(ending.signal, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
        raise(ending.signal);
    }
    return ending.status;
}

int main(int argc, char *argv[])
{
    holdStandardDescriptors();
    CommandLine command = readCommandLine(argc, argv);
    switch (command.asks) {
    case CommandLine::Asks::Help:
        printf("%s\n%s\n", usage, help + 1);
        return 0;
    case CommandLine::Asks::Version:
        printf("frandle %s\n", FRANDLE_VERSION);
        return 0;
    case CommandLine::Asks::Refusal:
        fprintf(stderr, "frandle: %s\n", command.refusal.c_str());
        puts(usage);
        return -1;
    case CommandLine::Asks::Usage:
        puts(usage);
        return -1;
    case CommandLine::Asks::Transfer:
        break;
    }
    if (command.mode == OperationMode::None) {
        printf("invalid mode of operation");
        return -1;  // nothing that was asked for was done
    }
    const bool sends = command.mode == OperationMode::Send || command.mode == OperationMode::SendAndListen;
    if (sends && command.sendSize < 0) {
        puts(usage);
        return -1;
    }
    command.sendSize = std::clamp(command.sendSize, 0, command.options.sendMost);  // R mode never reads it
    tellUnread(command);
    if (!command.service.empty()) {
        const auto port = udpServicePort(command.service);
        if (!port)
            return endWith(failureSaid("frandle: " + command.service + ": no such UDP service"));
        command.port = *port;
    }
    try {
        return endWith(frandle(command));
    } catch (const std::bad_alloc &) {  // only where a mode makes its memory ready, before any line
        fputs("frandle: out of memory\n", stderr);
        return 1;
    }
}
