// L mode: the sender on the calling thread, the listener on a second one. Either one's end
// stops the other, so that every line received is written and the run ends in order.
#include "listen.hpp"

#include "net.hpp"
#include "receive.hpp"
#include "report.hpp"
#include "send.hpp"
#include "stop.hpp"

#include <pthread.h>

#include <csignal>

namespace {

struct Listener {
    int sock;
    Receiving how;
    Ending ending;
};

void *setupRecv(void *listener)
{
    auto &l = *static_cast<Listener *>(listener);
    l.ending = receiveUntilEnd(l.sock, l.how);
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

Ending listenMode(const CommandLine &line)
{
    bufferLines();
    const int file = openToSend(line.fileName);
    if (file < 0)
        return failure("open", 255);
    const auto destination = destinationAddress(line.ipAddress, line.port, line.options.family);
    if (const auto *why = std::get_if<std::string>(&destination))
        return failureSaid(*why);
    const Address &to = std::get<Address>(destination);
    int sock = -1;
    if (const Ending made = makeAndShowSocket(sock, to.family()); made.failed())
        return made;
    prepareReceiving(sock, line.options.datagrams, static_cast<std::size_t>(line.options.takeMost));  // before the first datagram can come back
    askForAnswers(sock);
    sendingStarts();
    if (const Ending bound = bindSendingSocket(sock, line.options, familyOf(to), LISTEN_LOCAL_PORT); bound.failed())
        return bound;
    if (const Ending caught = catchStopSignals(sock); caught.failed())
        return caught;

    Answers answers;
    Listener listener{
        sock, Receiving{line.options.idleSeconds, line.options.reports, ReceiveFailure::IsReportedAndSkipped,
                            line.options.datagrams, &answers},
        {}};
    pthread_t recv_thread;
    if (const int started = pthread_create(&recv_thread, nullptr, setupRecv, &listener); started != 0) {
        errno = started;
        return failure("pthread_create");
    }
    leaveStopSignalsToTheListener();
    const Sending how{static_cast<std::size_t>(line.sendSize), line.options.bitsPerSecond, line.options.reports,
                      line.options.datagrams};
    const Ending sent = sendFile(file, sock, to, how, answers);
    sendingIsDone();
    if (sent.failed())
        askStop();
    pthread_join(recv_thread, nullptr);
    reportAnswers(line.options.reports, answers);
    return sent.failed() ? sent : listener.ending;
}
