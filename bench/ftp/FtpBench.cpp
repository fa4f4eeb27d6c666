// Benchmarks of mirelo-ftp against curl and lftp, all fetching from the same vsftpd on loopback
// with the same passive command (PASV: curl with --disable-epsv, lftp with EPSV off):
//   1. one large file (1 GiB by default) to disk;
//   2. the same file to standard output, a pipe that this program drains;
//   3. many small files (1000 of 10 KiB) in one session;
//   4. the processor time of a 10 s wait for a reply that never comes.
// Round 0 of each case is the check run: every client's output is compared byte for byte with
// what the server holds, and a client whose output differs is reported and left out. The counted
// rounds follow (at least 7); the clients take turns, the order rotating every round. Each run is
// timed from outside (wall, processor time user + system, peak resident memory) and its output's
// length is checked. For each client the minimum, median and maximum are printed; each figure of
// mirelo-ftp is given as a ratio to the best peer of this same run, both as the ratio of the
// medians and as the spread of the ratios of each round (taken minutes apart, so the machine's
// other load weighs on both sides alike). A run that passes its time limit is killed and shown as
// stalled; a run slower than twice its client's median is marked, never folded into the median
// unseen. Every run is bounded and the program ends by itself.
//
// Usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--nice N] [--skip-large] [--skip-pipe]
//                  [--skip-small] [--skip-idle]
// Needs root (vsftpd), curl and lftp; a missing client is left out with a note.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FtpServers.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMinCountedRuns = 7;

struct Sample {
    double WallSeconds = 0;
    double CpuSeconds = 0;
    double PeakMiB = 0;
    int Status = -1;
    bool Stalled = false;  // killed at its time limit
};

// Takes what a client writes to its standard output. Drain is called whenever the pipe is
// readable and returns false at its end.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool Drain(int fd) = 0;
};

// Counts the bytes and throws them away without copying them into this process where the system
// allows, so the reader costs every client the same little.
class CountingSink : public OutputSink {
public:
    CountingSink() : null_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~CountingSink() override { ::close(null_); }
    bool Drain(int fd) override {
        if (useSplice_) {
            ssize_t n = ::splice(fd, nullptr, null_, nullptr, 1 << 20, SPLICE_F_MOVE);
            if (n >= 0) {
                bytes_ += n;
                return n > 0;
            }
            useSplice_ = false;
        }
        ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
        if (n > 0)
            bytes_ += n;
        return n > 0 || (n < 0 && errno == EINTR);
    }
    std::int64_t Bytes() const { return bytes_; }

private:
    int null_;
    bool useSplice_ = true;
    std::int64_t bytes_ = 0;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
};

// Compares the stream with a file as it arrives.
class ComparingSink : public OutputSink {
public:
    explicit ComparingSink(const std::string& expected) : expected_(expected, std::ios::binary) {}
    bool Drain(int fd) override {
        ssize_t n = ::read(fd, got_.data(), got_.size());
        if (n < 0)
            return errno == EINTR;
        if (n == 0) {
            // Nothing of the file may be left over.
            same_ = same_ && expected_.peek() == std::char_traits<char>::eof();
            return false;
        }
        expected_.read(want_.data(), n);
        same_ = same_ && expected_.gcount() == n && std::memcmp(got_.data(), want_.data(), static_cast<std::size_t>(n)) == 0;
        return true;
    }
    bool Same() const { return same_; }

private:
    std::ifstream expected_;
    bool same_ = true;
    std::vector<char> got_ = std::vector<char>(1 << 20);
    std::vector<char> want_ = std::vector<char>(1 << 20);
};

// Runs argv in a process group of its own, its output going to `sink` (or nowhere), bounded to
// `limitSeconds` (then the whole group is killed), and measures it.
Sample Measure(const std::vector<std::string>& argv, int limitSeconds, OutputSink* sink) {
    std::vector<char*> raw;
    std::vector<std::string> copy = argv;
    for (std::string& arg : copy)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    int out[2] = {-1, -1};
    if (sink != nullptr && ::pipe2(out, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1);
    }
    Clock::time_point start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(sink != nullptr ? out[1] : null, 1);
        ::dup2(null, 2);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    if (sink != nullptr)
        ::close(out[1]);
    // Readable once the child has ended (the header of this C library lacks C linkage, hence the call).
    int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    Clock::time_point deadline = start + std::chrono::seconds(limitSeconds);
    Sample sample;
    bool reading = sink != nullptr;
    for (bool gone = false; !gone || reading;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            sample.Stalled = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{gone ? -1 : exited, POLLIN, 0}, {reading ? out[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000))) < 0)
            continue;
        if (fds[1].revents != 0)
            reading = sink->Drain(out[0]);
        if (fds[0].revents != 0 && !gone) {
            gone = true;
            sample.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (sample.Stalled)
        sample.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(exited);
    if (sink != nullptr)
        ::close(out[0]);
    sample.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    sample.PeakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    sample.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return sample;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Spread {
    double Min = 0, Median = 0, Max = 0;
    bool Empty = true;
};

Spread SpreadOf(const std::vector<double>& values) {
    if (values.empty())
        return {};
    return {*std::min_element(values.begin(), values.end()), Median(values),
            *std::max_element(values.begin(), values.end()), false};
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
    if (!left || !right)
        return false;
    std::vector<char> x(1 << 20), y(1 << 20);
    for (;;) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() ||
            std::memcmp(x.data(), y.data(), static_cast<std::size_t>(left.gcount())) != 0)
            return false;
        if (left.gcount() == 0)
            return true;
    }
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

void WritePattern(const std::string& path, std::int64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, '\0');
    std::uint32_t state = 2463534242u;
    for (char& c : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    for (std::int64_t written = 0; written < size; written += static_cast<std::int64_t>(block.size())) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(size - written, static_cast<std::int64_t>(block.size())));
        block[0] = static_cast<char>(written >> 20);  // no two blocks alike
        block[1] = static_cast<char>(size >> 10);     // nor two files
        out.write(block.data(), static_cast<std::streamsize>(chunk));
    }
}

struct Client {
    using Builder = std::function<std::vector<std::string>(const std::string& out)>;
    Client(std::string name, Builder command) : Name(std::move(name)), Command(std::move(command)) {}

    std::string Name;
    // The command line that fetches into `out` (a file or a folder; ignored when the output is
    // standard output).
    Builder Command;
    bool Good = true;              // passed the check run
    std::vector<std::optional<Sample>> Rounds;  // by counted round; empty where the run failed
    std::vector<std::string> Notes;
};

// How one case is run and checked.
struct Case {
    std::string Title;
    std::string Out;                           // the file or folder the clients write to
    bool ToPipe = false;                       // output goes to standard output instead
    std::function<void()> Clean;               // before every run
    std::function<bool(std::string&)> Check;   // after the check run: content, else why not
    std::function<bool(std::string&)> Quick;   // after a counted run: the length only
    std::int64_t PipeBytes = 0;                // expected on standard output
};

void PrintRun(const char* label, int round, const Client& client, const Sample& sample, const std::string& problem) {
    std::printf("  %s %2d  %-10s wall %7.3f s  cpu %7.3f s  peak %6.1f MiB%s%s\n", label, round, client.Name.c_str(),
                sample.WallSeconds, sample.CpuSeconds, sample.PeakMiB, problem.empty() ? "" : "  ", problem.c_str());
    std::fflush(stdout);
}

void RunCase(Case& job, std::vector<Client>& clients, int runs) {
    std::printf("\n== %s\n", job.Title.c_str());
    // The check run: also warms the page cache and the server for everyone.
    double slowest = 0;
    for (Client& client : clients) {
        job.Clean();
        std::unique_ptr<ComparingSink> compare;
        if (job.ToPipe)
            compare = std::make_unique<ComparingSink>(job.Out);
        Sample sample = Measure(client.Command(job.Out), 600, compare.get());
        std::string why;
        bool good = !sample.Stalled && sample.Status == 0;
        if (!good)
            why = sample.Stalled ? "stalled past 600 s" : "exit status " + std::to_string(sample.Status);
        else if (job.ToPipe && !compare->Same())
            good = false, why = "standard output differs from the served file";
        else if (!job.ToPipe && !job.Check(why))
            good = false;
        client.Good = good;
        if (!good)
            client.Notes.push_back("check run failed: " + why + "; left out");
        PrintRun("check", 0, client, sample, good ? "output compared: same bytes" : "CHECK FAILED: " + why);
        slowest = std::max(slowest, sample.WallSeconds);
    }
    // A run ten times slower than the slowest check run is a stall, not a measurement.
    const int limit = static_cast<int>(std::clamp(slowest * 10, 20.0, 600.0));
    for (Client& client : clients)
        client.Rounds.assign(static_cast<std::size_t>(runs), std::nullopt);
    for (int round = 1; round <= runs; ++round) {
        for (std::size_t k = 0; k < clients.size(); ++k) {
            Client& client = clients[(k + static_cast<std::size_t>(round)) % clients.size()];
            if (!client.Good)
                continue;
            job.Clean();
            ::sync();
            CountingSink count;
            Sample sample = Measure(client.Command(job.Out), limit, job.ToPipe ? &count : nullptr);
            std::string why;
            if (sample.Stalled)
                why = "STALLED: killed after " + std::to_string(limit) + " s";
            else if (sample.Status != 0)
                why = "FAILED: exit status " + std::to_string(sample.Status);
            else if (job.ToPipe && count.Bytes() != job.PipeBytes)
                why = "FAILED: " + std::to_string(count.Bytes()) + " bytes on standard output";
            else if (!job.ToPipe && !job.Quick(why))
                why = "FAILED: " + why;
            PrintRun("round", round, client, sample, why);
            if (!why.empty())
                client.Notes.push_back("round " + std::to_string(round) + " " + why);
            // Stalled runs stay in the figures (their wall is the limit): hiding them would flatter.
            if (why.empty() || sample.Stalled)
                client.Rounds[static_cast<std::size_t>(round - 1)] = sample;
        }
    }
    job.Clean();
}

using Field = double Sample::*;

std::vector<double> Values(const Client& client, Field field) {
    std::vector<double> values;
    for (const auto& sample : client.Rounds)
        if (sample)
            values.push_back((*sample).*field);
    return values;
}

// The best peer by the median of `field`, or nullptr when no peer has figures.
const Client* BestPeer(const std::vector<Client>& clients, Field field) {
    const Client* best = nullptr;
    double bestMedian = 0;
    for (std::size_t i = 1; i < clients.size(); ++i) {
        std::vector<double> values = Values(clients[i], field);
        if (values.empty())
            continue;
        double median = Median(values);
        if (best == nullptr || median < bestMedian)
            best = &clients[i], bestMedian = median;
    }
    return best;
}

// Ours over the best peer's figure of the same round, for every round both have.
std::vector<double> RoundRatios(const std::vector<Client>& clients, Field field) {
    std::vector<double> ratios;
    for (std::size_t round = 0; round < clients[0].Rounds.size(); ++round) {
        const auto& ours = clients[0].Rounds[round];
        if (!ours)
            continue;
        double best = 0;
        for (std::size_t i = 1; i < clients.size(); ++i) {
            const auto& peer = clients[i].Rounds[round];
            if (peer && (*peer).*field > 0 && (best == 0 || (*peer).*field < best))
                best = (*peer).*field;
        }
        if (best > 0)
            ratios.push_back((*ours).*field / best);
    }
    return ratios;
}

struct Target {
    const char* Figure;
    Field What;
    double AtMost;  // as a ratio to the best peer; 0: none
};

// Prints the table; returns false when a target is missed.
bool Report(const std::vector<Client>& clients, const std::vector<Target>& targets, double peakLimitMiB) {
    std::printf("\n  %-10s %-26s %-26s %-22s %s\n", "client", "wall s (min med max)", "cpu s (min med max)",
                "peak MiB (min med max)", "runs");
    for (const Client& client : clients) {
        Spread wall = SpreadOf(Values(client, &Sample::WallSeconds));
        Spread cpu = SpreadOf(Values(client, &Sample::CpuSeconds));
        Spread peak = SpreadOf(Values(client, &Sample::PeakMiB));
        int counted = 0, stalled = 0, slow = 0;
        for (const auto& sample : client.Rounds) {
            if (!sample)
                continue;
            ++counted;
            stalled += sample->Stalled;
            slow += !sample->Stalled && sample->WallSeconds > 2 * wall.Median;
        }
        std::printf("  %-10s %7.3f %7.3f %7.3f    %7.3f %7.3f %7.3f    %6.1f %6.1f %6.1f    %d of %zu",
                    client.Name.c_str(), wall.Min, wall.Median, wall.Max, cpu.Min, cpu.Median, cpu.Max, peak.Min,
                    peak.Median, peak.Max, counted - stalled, client.Rounds.size());
        if (stalled)
            std::printf(", %d STALLED", stalled);
        if (slow)
            std::printf(", %d over twice the median (stall?)", slow);
        std::printf("\n");
        for (const std::string& note : client.Notes)
            std::printf("      %s: %s\n", client.Name.c_str(), note.c_str());
    }
    bool met = true;
    if (clients.empty() || Values(clients[0], &Sample::WallSeconds).empty()) {
        std::printf("  no figures for %s\n", clients.empty() ? "anyone" : clients[0].Name.c_str());
        return false;
    }
    const char* names[] = {"wall", "cpu", "peak"};
    Field fields[] = {&Sample::WallSeconds, &Sample::CpuSeconds, &Sample::PeakMiB};
    std::printf("  %s as a ratio to the best peer of this run (lower is better):\n", clients[0].Name.c_str());
    for (int f = 0; f < 3; ++f) {
        const Client* best = BestPeer(clients, fields[f]);
        if (best == nullptr) {
            std::printf("    %-4s  no peer figures\n", names[f]);
            continue;
        }
        double ratio = Median(Values(clients[0], fields[f])) / Median(Values(*best, fields[f]));
        Spread rounds = SpreadOf(RoundRatios(clients, fields[f]));
        std::printf("    %-4s  %.2f of %-5s (medians)   per round: min %.2f  median %.2f  max %.2f", names[f], ratio,
                    best->Name.c_str(), rounds.Min, rounds.Median, rounds.Max);
        for (const Target& target : targets) {
            if (target.What != fields[f])
                continue;
            bool ok = ratio <= target.AtMost;
            met = met && ok;
            std::printf("   target <= %.1f: %s", target.AtMost, ok ? "met" : "NOT MET");
        }
        std::printf("\n");
    }
    if (peakLimitMiB > 0) {
        double peak = SpreadOf(Values(clients[0], &Sample::PeakMiB)).Max;
        bool ok = peak <= peakLimitMiB;
        met = met && ok;
        std::printf("    peak of %s at most %.1f MiB: %.1f MiB, %s\n", clients[0].Name.c_str(), peakLimitMiB, peak,
                    ok ? "met" : "NOT MET");
    }
    if (clients[0].Rounds.size() < static_cast<std::size_t>(kMinCountedRuns))
        std::printf("  (fewer than %d counted runs: not a result, a trial)\n", kMinCountedRuns);
    return met;
}

// A server that greets and then never answers: it reads and ignores whatever comes until the
// client goes, for up to `lifeSeconds`.
class SilentServer {
public:
    explicit SilentServer(int lifeSeconds) : deadline_(Clock::now() + std::chrono::seconds(lifeSeconds)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("silent server: cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~SilentServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t Port() const { return port_; }

private:
    void Serve() {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        while (!stop_ && Clock::now() < deadline_) {
            if (::poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (std::size_t i = fds.size(); i-- > 1;) {
                char discard[4096];
                if (fds[i].revents != 0 && ::read(fds[i].fd, discard, sizeof discard) <= 0) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                }
            }
            if ((fds[0].revents & POLLIN) != 0) {
                int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                static const char greeting[] = "220 silent peer\r\n";
                if (connection >= 0 && ::write(connection, greeting, sizeof greeting - 1) > 0)
                    fds.push_back({connection, POLLIN, 0});
                else if (connection >= 0)
                    ::close(connection);
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i)
            ::close(fds[i].fd);
    }

    Clock::time_point deadline_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    int runs = kMinCountedRuns;
    std::int64_t sizeMiB = 1024;
    int files = 1000;
    int niceness = 0;
    bool large = true, pipe = true, small = true, idle = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = std::clamp(std::atoi(argv[++i]), 1, 100);
        else if (arg == "--size-mib" && i + 1 < argc)
            sizeMiB = std::clamp(std::atoi(argv[++i]), 1, 16384);
        else if (arg == "--files" && i + 1 < argc)
            files = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (arg == "--nice" && i + 1 < argc)
            niceness = std::clamp(std::atoi(argv[++i]), -20, 19);
        else if (arg == "--skip-large")
            large = false;
        else if (arg == "--skip-pipe")
            pipe = false;
        else if (arg == "--skip-small")
            small = false;
        else if (arg == "--skip-idle")
            idle = false;
        else {
            std::fprintf(stderr,
                         "usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--nice N] [--skip-large] "
                         "[--skip-pipe] [--skip-small] [--skip-idle]\n");
            return 2;
        }
    }
    std::string reason;
    if (!VsftpdServer::CanRun(reason)) {
        std::fprintf(stderr, "bench_ftp: %s\n", reason.c_str());
        return 1;
    }
    // On a machine others use, a higher priority for the server and every client alike keeps
    // their load from deciding the figures; all clients get the same.
    if (niceness != 0 && ::setpriority(PRIO_PROCESS, 0, niceness) != 0)
        std::fprintf(stderr, "bench_ftp: cannot set niceness %d; going on without\n", niceness);
    const std::string tool = MIRELO_FTP_TOOL;
    TempDir root;
    TempDir work;
    std::filesystem::create_directories(root / "many");
    if (large || pipe)
        WritePattern(root / "big.bin", sizeMiB << 20);
    char name[32];
    for (int i = 0; i < files && small; ++i) {
        std::snprintf(name, sizeof name, "many/f%04d.bin", i);
        WritePattern(root / name, 10 * 1024 + i);  // each its own length and bytes
    }
    VsftpdServer server(root.Path(), 20000);
    std::string port = std::to_string(server.Port());
    std::string url = "ftp://127.0.0.1:" + port + "/";
    bool haveCurl = Executable("/usr/bin/curl"), haveLftp = Executable("/usr/bin/lftp");
    if (!haveCurl || !haveLftp)
        std::printf("note: %s missing; left out (scripts/install-deps test installs them)\n",
                    !haveCurl ? "curl" : "lftp");
    std::printf("vsftpd on 127.0.0.1:%s; a check run and %d counted runs per client and case; niceness %d\n",
                port.c_str(), runs, niceness);
    // Every client logs on anonymously, asks for binary type and opens each data connection with
    // PASV; lftp stops at the first failed command, so its exit status means something.
    const std::string lftpSet =
        "set ftp:passive-mode on; set ftp:prefer-epsv no; set cmd:fail-exit yes; set xfer:clobber on; "
        "set net:max-retries 1; ";
    bool allMet = true;

    auto largeClients = [&](bool toPipe) {
        std::vector<Client> clients;
        clients.emplace_back("mirelo-ftp", [&, toPipe](const std::string& out) {
                               return std::vector<std::string>{tool, "--port", port, "127.0.0.1", "-e",
                                                               "get big.bin " + (toPipe ? std::string("-") : out)};
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&, toPipe](const std::string& out) {
                                   std::vector<std::string> args{"/usr/bin/curl", "-s", "-S", "--disable-epsv", url + "big.bin"};
                                   if (!toPipe)
                                       args.insert(args.end(), {"-o", out});
                                   return args;
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&, toPipe](const std::string& out) {
                                   return std::vector<std::string>{"/usr/bin/lftp", "-p", port, "-e",
                                                                   lftpSet + (toPipe ? "cat big.bin" : "get big.bin -o " + out) + "; quit",
                                                                   "127.0.0.1"};
                               });
        return clients;
    };
    const std::int64_t bigBytes = sizeMiB << 20;
    const std::string big = root / "big.bin";

    if (large) {
        std::vector<Client> clients = largeClients(false);
        Case job;
        job.Title = std::to_string(sizeMiB) + " MiB file to disk";
        job.Out = work / "big.out";
        job.Clean = [&] { std::filesystem::remove(job.Out); };
        job.Check = [&](std::string& why) {
            why = "the file differs from the served one";
            return SameFiles(job.Out, big);
        };
        job.Quick = [&](std::string& why) {
            std::error_code error;
            auto size = static_cast<std::int64_t>(std::filesystem::file_size(job.Out, error));
            if (!error && size == bigBytes)
                return true;
            why = "file of " + std::to_string(error ? -1 : size) + " bytes";
            return false;
        };
        RunCase(job, clients, runs);
        allMet = Report(clients, {{"wall", &Sample::WallSeconds, 0.9}, {"cpu", &Sample::CpuSeconds, 1.0}}, 4.0) && allMet;
    }

    if (pipe) {
        std::vector<Client> clients = largeClients(true);
        Case job;
        job.Title = std::to_string(sizeMiB) + " MiB file to standard output, a pipe";
        job.Out = big;  // what standard output is compared with
        job.ToPipe = true;
        job.PipeBytes = bigBytes;
        job.Clean = [] {};
        RunCase(job, clients, runs);
        allMet = Report(clients, {{"wall", &Sample::WallSeconds, 1.0}}, 4.0) && allMet;
    }

    if (small) {
        std::vector<Client> clients;
        clients.emplace_back("mirelo-ftp", [&](const std::string& out) {
                               std::vector<std::string> args{tool, "--port", port, "127.0.0.1", "-e", "cwd many"};
                               char file[32];
                               for (int i = 0; i < files; ++i) {
                                   std::snprintf(file, sizeof file, "f%04d.bin", i);
                                   args.push_back("-e");
                                   args.push_back(std::string("get ") + file + " " + out + "/" + file);
                               }
                               return args;
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&](const std::string& out) {
                                   char range[48];
                                   std::snprintf(range, sizeof range, "many/f[0000-%04d].bin", files - 1);
                                   return std::vector<std::string>{"/usr/bin/curl", "-s", "-S", "--disable-epsv",
                                                                   url + range, "-o", out + "/f#1.bin"};
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&](const std::string& out) {
                                   return std::vector<std::string>{"/usr/bin/lftp", "-p", port, "-e",
                                                                   lftpSet + "mget -O " + out + " many/*.bin; quit",
                                                                   "127.0.0.1"};
                               });
        Case job;
        job.Title = std::to_string(files) + " files of about 10 KiB in one session";
        job.Out = work / "many";
        job.Clean = [&] {
            std::filesystem::remove_all(job.Out);
            std::filesystem::create_directories(job.Out);
        };
        auto each = [&](std::string& why, bool content) {
            char file[32];
            for (int i = 0; i < files; ++i) {
                std::snprintf(file, sizeof file, "f%04d.bin", i);
                std::string got = job.Out + "/" + file;
                std::error_code error;
                bool same = content ? SameFiles(got, root / "many/" + file)
                                    : std::filesystem::file_size(got, error) == static_cast<std::uintmax_t>(10 * 1024 + i) && !error;
                if (!same) {
                    why = std::string(file) + (content ? " differs from the served one" : " missing or of another length");
                    return false;
                }
            }
            return true;
        };
        job.Check = [&](std::string& why) { return each(why, true); };
        job.Quick = [&](std::string& why) { return each(why, false); };
        RunCase(job, clients, runs);
        allMet = Report(clients, {{"wall", &Sample::WallSeconds, 0.8}}, 4.0) && allMet;
    }

    if (idle) {
        // Each client waits 10 s for the answer to its log-on; only its processor time matters.
        std::printf("\n== waiting 10 s for a reply that never comes (one run each)\n");
        SilentServer silent(3 * 40);
        std::string silentPort = std::to_string(silent.Port());
        std::vector<Client> clients;
        clients.emplace_back("mirelo-ftp", [&](const std::string&) {
                               return std::vector<std::string>{tool, "--port", silentPort, "--timeout", "10", "127.0.0.1", "-e", "pwd"};
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&](const std::string&) {
                                   return std::vector<std::string>{"/usr/bin/curl", "-s", "--disable-epsv", "-m", "10",
                                                                   "ftp://127.0.0.1:" + silentPort + "/x"};
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&](const std::string&) {
                                   return std::vector<std::string>{"/usr/bin/lftp", "-p", silentPort, "-e",
                                                                   lftpSet + "set net:timeout 10; ls; quit", "127.0.0.1"};
                               });
        for (Client& client : clients) {
            Sample sample = Measure(client.Command(""), 40, nullptr);
            bool waited = sample.WallSeconds >= 9.5 && !sample.Stalled;
            client.Rounds.push_back(sample);
            PrintRun("idle ", 1, client, sample,
                     waited ? "exit " + std::to_string(sample.Status) + " after the wait"
                            : sample.Stalled ? "STALLED past 40 s" : "did not wait 10 s");
        }
        double ours = clients[0].Rounds[0]->CpuSeconds;
        double best = -1;
        std::string bestName;
        for (std::size_t i = 1; i < clients.size(); ++i)
            if (clients[i].Rounds[0]->WallSeconds >= 9.5 && (best < 0 || clients[i].Rounds[0]->CpuSeconds < best))
                best = clients[i].Rounds[0]->CpuSeconds, bestName = clients[i].Name;
        if (best > 0)
            std::printf("  cpu over the wait: mirelo-ftp %.3f s, best peer %s %.3f s, ratio %.2f\n", ours, bestName.c_str(),
                        best, ours / best);
        else if (best == 0)
            std::printf("  cpu over the wait: mirelo-ftp %.3f s, best peer %s none measurable\n", ours, bestName.c_str());
        else
            std::printf("  cpu over the wait: mirelo-ftp %.3f s; no peer waited the 10 s\n", ours);
    }
    std::printf("\n%s\n", allMet ? "every target met" : "some target NOT MET (see above)");
    return 0;
}
