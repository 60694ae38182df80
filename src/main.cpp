// Front end: reads the positional arguments and runs the one transfer they ask for.
#include "transfer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

static constexpr const char *usage = "usage:frandle S|R|L fileName port [ipAddress] [send size]";

// Reads a number as atoi does, but an out-of-range one saturates instead of being undefined.
static std::int32_t toInt(const char *text)
{
    return static_cast<std::int32_t>(std::clamp(std::strtol(text, nullptr, 10), long{INT32_MIN},
                                                 long{INT32_MAX}));
}

static OperationMode modeOf(char letter)
{
    switch (letter) {
    case 'S':
        return OperationMode::Send;
    case 'R':
        return OperationMode::Receive;
    case 'L':
        return OperationMode::SendAndListen;
    default:
        return OperationMode::None;
    }
}

// A standard descriptor that was closed gets one that takes no writes: otherwise the
// socket would take its number, and lines or failure reports would go into it.
static void holdStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDONLY);  // takes the lowest free number: this one
}

int main(int argc, char *argv[])
{
    holdStandardDescriptors();
    if (argc <= 3) {
        puts(usage);
        return -1;
    }
    const OperationMode mode = modeOf(argv[1][0]);
    if (mode == OperationMode::None)
        printf("invalid mode of operation");

    const std::string fileName = argv[2];
    const std::int32_t port = toInt(argv[3]);
    const std::string ipAddress = argc >= 5 ? argv[4] : "";
    if (argc == 6)
        SendSize = toInt(argv[5]);
    const bool sends = mode == OperationMode::Send || mode == OperationMode::SendAndListen;
    if (sends && SendSize < 0) {
        puts(usage);
        return -1;
    }
    SendSize = std::clamp(SendSize, 0, MAX_SEND_SIZE);  // R mode never reads it

    frandle(mode, fileName, port, ipAddress);
    if (mode == OperationMode::None)
        return -1;  // nothing that was asked for was done
    if (mode == OperationMode::SendAndListen)
        pthread_join(recv_thread, nullptr);
    return 0;
}
