// L mode: the sender on the calling thread, the listener on a second one. Either one's end
// stops the other, so that every line received is written and the run ends in order.
#include "listen.hpp"

#include "datagram_line.hpp"
#include "net.hpp"
#include "receive.hpp"
#include "report.hpp"
#include "send.hpp"
#include "stop.hpp"

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <memory>

namespace {

struct Listener {
    int sock;
    ReceiveMemory &memory;
    Receiving how;
    Ending ending;
};

void *runListener(void *listener)
{
    auto &l = *static_cast<Listener *>(listener);
    l.ending = receiveUntilEnd(l.sock, l.memory, l.how);
    askStop();  // the sender's end, if it still sends
    return nullptr;
}

// Stop signals go to the listener, which writes out its lines and ends the run: the sends
// are never cut short by one.
void leaveStopSignalsToTheListener()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

}  // namespace

Ending listenMode(const CommandLine &command)
{
    unbufferStandardOutput();
    const Options &options = command.options;
    int file = -1;
    Address to;
    if (const Ending opened = openToSendTo(command.fileName, command.ipAddress, command.port, options.family, file, to);
        opened.failed())
        return opened;
    std::optional<probe::Layout> probe;
    if (const Ending cut = probeLayoutFor(options, command.sendSize, probe); cut.failed())
        return cut;
    int sock = -1;
    if (const Ending made = makeAndShowSocket(sock, to.family()); made.failed())
        return made;
    StatusLine status;
    ReceiveMemory memory(options.datagrams, static_cast<std::size_t>(options.takeMost), Echo::None, status);
    prepareReceiving(sock, options.datagrams);  // before the first datagram can come back
    askForSendTimes(sock);
    if (reporting(options.reports))
        askForTrafficClass(sock, to.family());
    askForAnswers(sock);
    if (const Ending bound = bindSendingSocket(sock, options.source, options.localPort, familyOf(to), LISTEN_LOCAL_PORT);
        bound.failed())
        return bound;
    if (const Ending set = applyPathControls(sock, to, options.path); set.failed())
        return set;
    if (const Ending caught = catchStopSignals(sock); caught.failed())
        return caught;

    Answers answers;
    const auto roundTrips = std::make_unique<RoundTrips>();
    const auto probes = std::make_unique<LiveProbes>(options.run);
    std::atomic<double> sendingDoneAt = INFINITY;
    Reporting reports = options.reports;
    reports.status = &status;
    Listener listener{sock, memory,
                      Receiving{options.idleSeconds, reports, ReceiveFailure::IsReportedAndSkipped,
                                options.datagrams, &answers, &sendingDoneAt, roundTrips.get(), probes.get()},
                      {}};
    pthread_t listenerThread;
    if (const int started = pthread_create(&listenerThread, nullptr, runListener, &listener); started != 0)
        return failure("pthread_create", started, 1);
    leaveStopSignalsToTheListener();
    const Sending how{static_cast<std::size_t>(command.sendSize), options.bitsPerSecond, reports, options.datagrams,
                      roundTrips.get(), options.sendSeconds, probe};
    const Ending sent = sendFile(file, sock, to, how, answers);
    sendingDoneAt = secondsNow();
    if (sent.failed())
        askStop();
    pthread_join(listenerThread, nullptr);
    reportAnswers(reports, answers);
    return sent.failed() ? sent : listener.ending;
}
