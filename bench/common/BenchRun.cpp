#include "BenchRun.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "PatternBytes.h"

namespace bench {

using Clock = std::chrono::steady_clock;

CountingSink::CountingSink() : null_(::open("/dev/null", O_WRONLY | O_CLOEXEC)), buffer_(1 << 20) {}

CountingSink::~CountingSink() { ::close(null_); }

bool CountingSink::Drain(int fd) {
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

ComparingSink::ComparingSink(const std::string& expected)
    : expected_(expected, std::ios::binary), got_(1 << 20), want_(1 << 20) {}

bool ComparingSink::Drain(int fd) {
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

Sample Measure(const Argv& argv, int limitSeconds, OutputSink* sink) {
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

Spread SpreadOf(const std::vector<double>& values) {
    if (values.empty())
        return {};
    return {*std::min_element(values.begin(), values.end()), Median(values),
            *std::max_element(values.begin(), values.end())};
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

bool TakeCommonOption(int argc, char** argv, int& i, CommonOptions& options) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc)
        options.Runs = std::clamp(std::atoi(argv[++i]), 1, 100);
    else if (arg == "--nice" && i + 1 < argc)
        options.Niceness = std::clamp(std::atoi(argv[++i]), -20, 19);
    else if (arg == "--realtime")
        options.Realtime = true;
    else
        return false;
    return true;
}

std::string RaisePriority(int niceness, bool realtime) {
    if (realtime) {
        sched_param priority{};
        priority.sched_priority = 10;
        if (::sched_setscheduler(0, SCHED_FIFO, &priority) == 0)
            return "real-time (first in, first out)";
        std::fprintf(stderr, "bench: cannot take the real-time class (root only); going on without\n");
    }
    if (niceness != 0) {
        if (::setpriority(PRIO_PROCESS, 0, niceness) == 0)
            return "niceness " + std::to_string(niceness);
        std::fprintf(stderr, "bench: cannot set niceness %d; going on without\n", niceness);
    }
    return "normal priority";
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

void PrintRun(const char* label, int round, const Client& client, const Sample& sample, const std::string& problem) {
    std::printf("  %s %2d  %-10s wall %7.3f s  cpu %7.3f s  peak %6.1f MiB%s%s\n", label, round, client.Name.c_str(),
                sample.WallSeconds, sample.CpuSeconds, sample.PeakMiB, problem.empty() ? "" : "  ", problem.c_str());
    std::fflush(stdout);
}

namespace {

// The programs of one run in turn: the first that fails or stalls ends the run.
Sample MeasureAll(const std::vector<Argv>& commands, int limitSeconds, OutputSink* sink) {
    Sample total;
    total.Status = 0;
    for (const Argv& argv : commands) {
        Sample one = Measure(argv, limitSeconds, sink);
        total.WallSeconds += one.WallSeconds;
        total.CpuSeconds += one.CpuSeconds;
        total.PeakMiB = std::max(total.PeakMiB, one.PeakMiB);
        total.Status = one.Status;
        total.Stalled = one.Stalled;
        if (one.Stalled || one.Status != 0)
            break;
    }
    return total;
}


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

}  // namespace

void RunCase(Case& job, std::vector<Client>& clients, int runs) {
    std::printf("\n== %s\n", job.Title.c_str());
    // The check run: also warms the page cache and the server for everyone.
    double slowest = 0;
    for (Client& client : clients) {
        job.Clean();
        std::unique_ptr<ComparingSink> compare;
        if (job.ToPipe)
            compare = std::make_unique<ComparingSink>(job.PipeExpected);
        Sample sample = MeasureAll(client.Commands(job.Out), 600, compare.get());
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
            Sample sample = MeasureAll(client.Commands(job.Out), limit, job.ToPipe ? &count : nullptr);
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

void WritePattern(const std::string& path, std::int64_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block = PatternBytes(1 << 20);
    for (std::int64_t written = 0; written < size; written += static_cast<std::int64_t>(block.size())) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(size - written, static_cast<std::int64_t>(block.size())));
        block[0] = static_cast<char>(written >> 20);  // no two blocks alike
        block[1] = static_cast<char>(size >> 10);     // nor two files
        out.write(block.data(), static_cast<std::streamsize>(chunk));
    }
}

Case FileCase(const std::string& title, const std::string& out, const std::string& served, std::int64_t bytes) {
    Case job;
    job.Title = title;
    job.Out = out;
    job.Clean = [out] { std::filesystem::remove(out); };
    job.Check = [out, served](std::string& why) {
        why = "the file differs from the served one";
        return SameFiles(out, served);
    };
    job.Quick = [out, bytes](std::string& why) {
        std::error_code error;
        auto size = static_cast<std::int64_t>(std::filesystem::file_size(out, error));
        if (!error && size == bytes)
            return true;
        why = "file of " + std::to_string(error ? -1 : size) + " bytes";
        return false;
    };
    return job;
}

}  // namespace bench
