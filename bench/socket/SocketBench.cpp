// Throughput and idle cost of the socket component over loopback.
//
//   bench_socket [--backend poll|qt] [--mib N] [--rounds R] [--send-mib N] [--idle-seconds N]
//
// 1. N MiB (default 1024) from a plain blocking sender to a TWSocket that reads 64 KiB at a time
//    in OnDataAvailable, and the same N MiB to a plain blocking recv() loop, R times (default 3)
//    in turn; MB/s and the receiving thread's CPU seconds of every round, and the ratio of the
//    medians (the machine may be busy with other work, which the median smooths).
// 2. Send from OnDataSent in 1514-byte blocks to a plain blocking reader: MB/s.
// 3. A connected TWSocket waiting for data that never comes: the loop thread's CPU seconds.
// Every part ends by itself: the transfers are bounded in size, and each waits at most a minute.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/PollEventLoop.h"
#include "qt/QtEventLoop.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(60);

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Figures {
    double Seconds = 0;
    double Cpu = 0;
    long long Bytes = 0;
    double MBps() const { return Seconds > 0 ? static_cast<double>(Bytes) / 1e6 / Seconds : 0; }
};

class Listener {
public:
    Listener()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("listener");
            std::exit(1);
        }
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    std::uint16_t Port() const { return port_; }
    int Accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

int ConnectBlocking(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// Sends `bytes` on a blocking descriptor, then closes it.
void BlockingSend(int fd, long long bytes)
{
    std::vector<char> block(256 * 1024, 'm');
    long long left = bytes;
    while (left > 0) {
        size_t n = left < static_cast<long long>(block.size()) ? static_cast<size_t>(left) : block.size();
        ssize_t sent = ::send(fd, block.data(), n, MSG_NOSIGNAL);
        if (sent <= 0)
            break;
        left -= sent;
    }
    ::close(fd);
}

Figures BlockingReceive(long long bytes)
{
    Listener listener;
    int out = ConnectBlocking(listener.Port());
    int in = listener.Accept();
    std::thread sender(BlockingSend, out, bytes);
    std::vector<char> buf(64 * 1024);
    Figures f;
    double cpu0 = ThreadCpuSeconds();
    auto t0 = Clock::now();
    for (;;) {
        ssize_t n = ::recv(in, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        f.Bytes += n;
    }
    f.Seconds = Seconds(Clock::now() - t0);
    f.Cpu = ThreadCpuSeconds() - cpu0;
    sender.join();
    ::close(in);
    return f;
}

Figures ComponentReceive(platform::EventLoop& loop, long long bytes)
{
    Listener listener;
    TWSocket sock(loop);
    std::vector<char> buf(64 * 1024);
    Figures f;
    bool closed = false;
    sock.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        int n = s->Receive(buf.data(), static_cast<int>(buf.size()));
        if (n > 0)
            f.Bytes += n;
    };
    sock.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { closed = true; };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port()));
    sock.Connect();
    int out = listener.Accept();
    auto deadline = Clock::now() + kLimit;
    while (sock.State() != wsConnected && Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);

    std::thread sender(BlockingSend, out, bytes);
    double cpu0 = ThreadCpuSeconds();
    auto t0 = Clock::now();
    while (!closed && Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);
    f.Seconds = Seconds(Clock::now() - t0);
    f.Cpu = ThreadCpuSeconds() - cpu0;
    sender.join();
    return f;
}

Figures ComponentSendBlocks(platform::EventLoop& loop, long long bytes)
{
    Listener listener;
    TWSocket sock(loop);
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port()));
    sock.Connect();
    int in = listener.Accept();
    auto deadline = Clock::now() + kLimit;
    while (sock.State() != wsConnected && Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);

    long long received = 0;
    std::thread reader([&] {
        std::vector<char> buf(64 * 1024);
        for (;;) {
            ssize_t n = ::recv(in, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            received += n;
        }
        ::close(in);
    });

    std::vector<char> block(1514, 's');
    long long queued = 0;
    bool done = false;
    auto sendNext = [&](TCustomWSocket* s, std::uint16_t) {
        if (queued >= bytes) {
            done = true;
            return;
        }
        int n = static_cast<int>(std::min<long long>(1514, bytes - queued));
        queued += n;
        s->Send(block.data(), n);
    };
    sock.OnDataSent = sendNext;
    Figures f;
    double cpu0 = ThreadCpuSeconds();
    auto t0 = Clock::now();
    sendNext(&sock, 0);
    while (!done && Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);
    sock.SetLingerOnOff(wsLingerOff);
    sock.Close();
    reader.join();
    f.Seconds = Seconds(Clock::now() - t0);
    f.Cpu = ThreadCpuSeconds() - cpu0;
    f.Bytes = received;
    return f;
}

Figures IdleWait(platform::EventLoop& loop, int seconds)
{
    Listener listener;
    TWSocket sock(loop);
    int calls = 0;
    sock.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port()));
    sock.Connect();
    int peer = listener.Accept();
    auto deadline = Clock::now() + kLimit;
    while (sock.State() != wsConnected && Clock::now() < deadline)
        loop.WaitAndDispatch(deadline);
    // Let the first write notification pass, then measure a wait in which nothing arrives.
    loop.ProcessPendingEvents();
    Figures f;
    double cpu0 = ThreadCpuSeconds();
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::seconds(seconds);
    while (Clock::now() < end)
        loop.WaitAndDispatch(end);
    f.Seconds = Seconds(Clock::now() - t0);
    f.Cpu = ThreadCpuSeconds() - cpu0;
    ::close(peer);
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string backend = "poll";
    long long mib = 1024;
    long long sendMib = 256;
    int idleSeconds = 5;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--backend")
            backend = argv[i + 1];
        else if (key == "--mib")
            mib = std::atoll(argv[i + 1]);
        else if (key == "--send-mib")
            sendMib = std::atoll(argv[i + 1]);
        else if (key == "--idle-seconds")
            idleSeconds = std::atoi(argv[i + 1]);
        else if (key == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<platform::EventLoop> loop;
    if (backend == "qt") {
        app = std::make_unique<QCoreApplication>(argc, argv);
        loop = std::make_unique<platform::QtEventLoop>();
    } else {
        loop = std::make_unique<platform::PollEventLoop>();
    }
    const long long bytes = mib << 20;

    std::printf("backend: %s\n", backend.c_str());
    std::vector<double> plainRates;
    std::vector<double> compRates;
    for (int round = 1; round <= rounds; ++round) {
        Figures plain = BlockingReceive(bytes);
        Figures comp = ComponentReceive(*loop, bytes);
        std::printf("round %d: receive %lld MiB, plain blocking recv (64 KiB): %8.1f MB/s %6.2f s CPU;"
                    " TWSocket OnDataAvailable (64 KiB): %8.1f MB/s %6.2f s CPU\n",
                    round, mib, plain.MBps(), plain.Cpu, comp.MBps(), comp.Cpu);
        if (comp.Bytes != bytes || plain.Bytes != bytes)
            std::printf("  incomplete: plain %lld, component %lld of %lld bytes\n", plain.Bytes,
                        comp.Bytes, bytes);
        plainRates.push_back(plain.MBps());
        compRates.push_back(comp.MBps());
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double plainMedian = median(plainRates);
    double compMedian = median(compRates);
    std::printf("median: plain %.1f MB/s, TWSocket %.1f MB/s, component / plain: %.2f\n", plainMedian,
                compMedian, plainMedian > 0 ? compMedian / plainMedian : 0);

    Figures send = ComponentSendBlocks(*loop, sendMib << 20);
    std::printf("send %lld MiB from OnDataSent in 1514-byte blocks: %8.1f MB/s  %6.2f s CPU\n", sendMib,
                send.MBps(), send.Cpu);

    Figures idle = IdleWait(*loop, idleSeconds);
    std::printf("idle connected socket, %.1f s wait: %.4f s CPU\n", idle.Seconds, idle.Cpu);
    return 0;
}
