#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace {

// Under CI=true, where .ci/run has installed every tool and runs as root, a test that skips
// fails: the failure is added as it ends, before the report would call it skipped.
class SkipsFail : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &test) override
    {
        if (test.result()->Skipped())
            ADD_FAILURE() << "skipped under CI=true, where nothing may be missing";
    }
};

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (const char *ci = std::getenv("CI"); ci != nullptr && std::string_view(ci) == "true")
        testing::UnitTest::GetInstance()->listeners().Append(new SkipsFail);
    return RUN_ALL_TESTS();
}

namespace {

[[noreturn]] void broken(const std::string &what) { throw std::runtime_error(what + ": " + strerror(errno)); }

std::string newTempPath()
{
    std::string path = "/tmp/frandle-test-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        broken("mkstemp");
    close(fd);
    return path;
}

int shellStatus(int status) { return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status); }

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// In a forked child: closes all but the standard descriptors and runs argv.
[[noreturn]] void execOnly(const std::vector<std::string> &argv)
{
    close_range(3, ~0U, 0);
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

Child::Child(const std::vector<std::string> &argv) : outPath_(newTempPath()), errPath_(newTempPath())
{
    pid_ = fork();
    if (pid_ < 0)
        broken("fork");
    if (pid_ == 0) {
        const int out = open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        execOnly(argv);
    }
}

Child::~Child()
{
    if (running())
        stop(SIGKILL);
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

std::string Child::out() const { return readFile(outPath_); }
std::string Child::err() const { return readFile(errPath_); }

bool Child::running()
{
    int status = 0;
    if (status_ < 0 && waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = shellStatus(status);
    return status_ < 0;
}

bool Child::waitForOut(std::string_view text, Millis limit) const
{
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (out().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return out().find(text) != std::string::npos;
}

int Child::wait(Millis limit)
{
    for (const auto end = std::chrono::steady_clock::now() + limit; running();) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = shellStatus(status);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

int Child::stop(int sig)
{
    if (running())
        kill(pid_, sig);
    return wait(5s);
}

OnTerminal::OnTerminal(const std::vector<std::string> &argv, const std::vector<int> &descriptors)
{
    int tool = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&terminal_, &tool, nullptr, &raw, nullptr) < 0)
        broken("openpty");
    pid_ = fork();
    if (pid_ < 0)
        broken("fork");
    if (pid_ == 0) {
        const int none = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
            dup2(std::find(descriptors.begin(), descriptors.end(), fd) != descriptors.end() ? tool : none, fd);
        execOnly(argv);
    }
    close(tool);
}

OnTerminal::~OnTerminal()
{
    stop(SIGKILL);
    close(terminal_);
}

const std::string &OnTerminal::readUntil(std::string_view text, Millis limit)
{
    char bytes[4096];
    pollfd ready{terminal_, POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + limit;
    std::size_t from = 0;  // where the text may start that no search has passed yet
    while (shown_.find(text, from) == std::string::npos && std::chrono::steady_clock::now() < end &&
           poll(&ready, 1, 50) >= 0) {
        from = shown_.size() - std::min(shown_.size(), text.size());
        if ((ready.revents & POLLIN) == 0)
            continue;
        const ssize_t got = read(terminal_, bytes, sizeof bytes);
        if (got <= 0)
            break;
        shown_.append(bytes, static_cast<std::size_t>(got));
    }
    return shown_;
}

int OnTerminal::stop(int sig, Millis grace)
{
    if (pid_ < 0)
        return -1;
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + grace;
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    if (ended == 0) {
        kill(pid_, sig);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return shellStatus(status);
}

std::vector<std::string> frandle(std::vector<std::string> args)
{
    args.insert(args.begin(), FRANDLE_BIN);
    return args;
}

Outcome run(const std::vector<std::string> &args, Millis limit)
{
    Child child(frandle(args));
    const int status = child.wait(limit);
    return {child.out(), child.err(), status};
}

TempFile::TempFile(std::string_view contents) : path_(newTempPath())
{
    std::ofstream(path_, std::ios::binary).write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

TempFile::~TempFile() { unlink(path_.c_str()); }

std::string readFile(const std::string &path)
{
    std::ostringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

std::string testBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

std::string textBytes(std::size_t size)
{
    std::string text;
    for (int line = 0; text.size() < size; ++line)
        text += "line " + std::to_string(line) + " of the sample text\n";
    text.resize(size);
    return text;
}

std::string datagramLines(const std::string &text, std::size_t chunk)
{
    std::string lines;
    for (std::size_t at = 0; at < text.size(); at += chunk)
        lines += "rcvd " + text.substr(at, chunk) + "\n";
    return lines;
}

namespace {

int boundUdp(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
        broken("udp socket on port " + std::to_string(port));
    return fd;
}

}  // namespace

Udp::Udp(std::uint16_t port) : fd_(boundUdp(port))
{
    // A port of the system's choice may be one the tool binds itself: take the next one.
    for (int tries = 0; tries < 8 && port == 0 && (this->port() == 40000 || this->port() == 30000); ++tries) {
        const int taken = fd_;
        fd_ = boundUdp(0);
        close(taken);
    }
    const int size = 8 << 20;  // room for a whole test transfer before it is read
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

Udp::~Udp() { close(fd_); }

std::uint16_t Udp::port() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

void Udp::sendTo(std::uint16_t port, std::string_view bytes) const
{
    const sockaddr_in address = loopback(port);
    if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
        broken("sendto");
}

void Udp::sendCut(std::uint16_t port, std::string_view bytes, std::size_t size) const
{
    const int segment = static_cast<int>(size);
    if (setsockopt(fd_, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) < 0)
        broken("UDP_SEGMENT");
    sendTo(port, bytes);
    const int none = 0;
    setsockopt(fd_, SOL_UDP, UDP_SEGMENT, &none, sizeof none);
}

std::vector<Datagram> Udp::receive(std::size_t count, Millis quiet) const
{
    std::vector<Datagram> got;
    std::string buffer(65536, '\0');
    pollfd ready{fd_, POLLIN, 0};
    while (got.size() < count && poll(&ready, 1, static_cast<int>(quiet.count())) == 1) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0)
            broken("recvfrom");
        got.push_back({buffer.substr(0, static_cast<std::size_t>(n)), ntohs(from.sin_port)});
    }
    return got;
}

std::uint16_t freePort() { return Udp().port(); }

long kernelCount(const std::string &group, const std::string &name, const std::string &ns)
{
    // The first line of a group names its counters, the second holds them.
    const std::string command = (ns.empty() ? "" : "ip netns exec " + ns + " ") + "awk '$1 == \"" + group +
                                ":\" { if (!f) { for (i = 2; i <= NF; i++) if ($i == \"" + name +
                                "\") f = i } else { print $f; exit } }' /proc/net/snmp";
    FILE *out = popen(command.c_str(), "r");
    long count = -1;
    if (out != nullptr && fscanf(out, "%ld", &count) != 1)
        count = -1;
    if (out != nullptr)
        pclose(out);
    return count;
}

std::size_t largeTransfer(std::size_t wanted)
{
    std::size_t limit = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
    return limit > 0 ? std::min(wanted, limit) : wanted;
}

std::map<std::string, std::vector<Json>> jsonReports(const std::string &err)
{
    std::map<std::string, std::vector<Json>> reports;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        const Json read = Json::parse(line, nullptr, false);
        EXPECT_TRUE(read.is_object()) << line;
        if (read.contains("report"))
            reports[read.at("report").get<std::string>()].push_back(read);
    }
    return reports;
}

