// Benchmarks of mirelo-ftp against curl and lftp, all fetching from the same vsftpd on loopback:
//   1. one large file (1 GiB by default) to disk, passive;
//   2. many small files (1000 of 10 KiB) in one session;
//   3. the processor time of a wait for a reply that never comes.
// Clients take turns (the order rotates every round), each run is timed from outside with its
// wall time, processor time (user + system) and peak resident memory, and the medians and the
// ratios to the other clients are printed. Every run is bounded and the program ends by itself.
//
// Usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--skip-large] [--skip-small]
// Needs root (vsftpd), curl and lftp; a missing client is left out with a note.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FtpServers.h"
#include "ScriptedPeer.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double WallSeconds = 0;
    double CpuSeconds = 0;
    double PeakMiB = 0;
    int Status = -1;
};

// Runs argv with its output discarded, bounded to `limitSeconds`, and measures it.
Sample Measure(const std::vector<std::string>& argv, int limitSeconds) {
    std::vector<char*> raw;
    std::vector<std::string> copy = argv;
    for (std::string& arg : copy)
        raw.push_back(arg.data());
    raw.push_back(nullptr);
    Clock::time_point start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::alarm(static_cast<unsigned>(limitSeconds));  // SIGALRM ends a client that hangs
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    Sample sample;
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
    }
    sample.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
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

struct Client {
    std::string Name;
    // Builds the command line that fetches into `out` (a file or a folder).
    std::function<std::vector<std::string>(const std::string& out)> Command;
    std::vector<Sample> Samples;
};

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
        out.write(block.data(), static_cast<std::streamsize>(chunk));
    }
}

// Runs every client `runs` times, rotating the order each round; `check` validates one output.
void RunRounds(std::vector<Client>& clients, int runs, int limitSeconds, const std::string& out,
               const std::function<void()>& clean, const std::function<bool()>& check) {
    // Round 0 warms the page cache and the server for everyone and is not counted.
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t k = 0; k < clients.size(); ++k) {
            Client& client = clients[(k + static_cast<std::size_t>(round)) % clients.size()];
            clean();
            ::sync();
            Sample sample = Measure(client.Command(out), limitSeconds);
            bool good = sample.Status == 0 && check();
            std::printf("  %s %d  %-10s wall %7.3f s  cpu %7.3f s  peak %7.1f MiB%s\n", round == 0 ? "warm-up" : "round  ",
                        round, client.Name.c_str(), sample.WallSeconds, sample.CpuSeconds, sample.PeakMiB,
                        good ? "" : "  FAILED (exit status or output wrong)");
            std::fflush(stdout);
            if (good && round > 0)
                client.Samples.push_back(sample);
        }
    }
    clean();
}

void Report(const std::vector<Client>& clients) {
    std::printf("\n  %-10s %12s %12s %14s\n", "client", "median wall", "median cpu", "median peak");
    std::map<std::string, Sample> medians;
    for (const Client& client : clients) {
        std::vector<double> wall, cpu, peak;
        for (const Sample& s : client.Samples) {
            wall.push_back(s.WallSeconds);
            cpu.push_back(s.CpuSeconds);
            peak.push_back(s.PeakMiB);
        }
        Sample median{Median(wall), Median(cpu), Median(peak), 0};
        medians[client.Name] = median;
        std::printf("  %-10s %10.3f s %10.3f s %10.1f MiB   (%zu good runs)\n", client.Name.c_str(), median.WallSeconds,
                    median.CpuSeconds, median.PeakMiB, client.Samples.size());
    }
    const Sample& ours = medians["mirelo-ftp"];
    for (const auto& [name, other] : medians) {
        if (name == "mirelo-ftp" || other.WallSeconds <= 0)
            continue;
        std::printf("  mirelo-ftp / %-6s wall %.2f  cpu %.2f  peak %.2f\n", name.c_str(), ours.WallSeconds / other.WallSeconds,
                    other.CpuSeconds > 0 ? ours.CpuSeconds / other.CpuSeconds : 0.0,
                    other.PeakMiB > 0 ? ours.PeakMiB / other.PeakMiB : 0.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::int64_t sizeMiB = 1024;
    int files = 1000;
    bool large = true, small = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--size-mib" && i + 1 < argc)
            sizeMiB = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--files" && i + 1 < argc)
            files = std::clamp(std::atoi(argv[++i]), 1, 10000);
        else if (arg == "--skip-large")
            large = false;
        else if (arg == "--skip-small")
            small = false;
        else {
            std::fprintf(stderr, "usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--skip-large] [--skip-small]\n");
            return 2;
        }
    }
    std::string reason;
    if (!VsftpdServer::CanRun(reason)) {
        std::fprintf(stderr, "bench_ftp: %s\n", reason.c_str());
        return 1;
    }
    const std::string tool = MIRELO_FTP_TOOL;
    TempDir root;
    TempDir work;
    std::filesystem::create_directories(root / "many");
    if (large)
        WritePattern(root / "big.bin", sizeMiB << 20);
    char name[32];
    for (int i = 0; i < files && small; ++i) {
        std::snprintf(name, sizeof name, "many/f%04d.bin", i);
        WritePattern(root / name, 10 * 1024);
    }
    VsftpdServer server(root.Path(), 20000);
    std::string port = std::to_string(server.Port());
    std::string url = "ftp://127.0.0.1:" + port + "/";
    bool haveCurl = Executable("/usr/bin/curl"), haveLftp = Executable("/usr/bin/lftp");
    if (!haveCurl || !haveLftp)
        std::printf("note: %s missing; left out (scripts/install-deps test installs them)\n",
                    !haveCurl ? "curl" : "lftp");
    std::printf("vsftpd on 127.0.0.1:%s, %d runs per client\n", port.c_str(), runs);

    if (large) {
        std::printf("\n== %lld MiB file from vsftpd to disk, passive\n", static_cast<long long>(sizeMiB));
        std::vector<Client> clients;
        clients.push_back({"mirelo-ftp", [&](const std::string& out) {
                               return std::vector<std::string>{tool, "--port", port, "127.0.0.1", "-e", "get big.bin " + out};
                           }, {}});
        if (haveCurl)
            clients.push_back({"curl", [&](const std::string& out) {
                                   return std::vector<std::string>{"/usr/bin/curl", "-s", "-S", "-o", out, url + "big.bin"};
                               }, {}});
        if (haveLftp)
            clients.push_back({"lftp", [&](const std::string& out) {
                                   return std::vector<std::string>{"/usr/bin/lftp", "-p", port, "-e",
                                                                   "set ftp:passive-mode on; get big.bin -o " + out + "; quit",
                                                                   "127.0.0.1"};
                               }, {}});
        std::string out = work / "big.out";
        std::int64_t expected = sizeMiB << 20;
        RunRounds(clients, runs, 600, out, [&] { std::filesystem::remove(out); },
                  [&] {
                      std::error_code error;
                      return static_cast<std::int64_t>(std::filesystem::file_size(out, error)) == expected;
                  });
        Report(clients);
        std::printf("  targets: wall / lftp <= 1.0, cpu <= 1.2 x lftp, peak <= 8 MB and independent of size\n");
    }

    if (small) {
        std::printf("\n== %d files of 10 KiB in one session\n", files);
        std::vector<Client> clients;
        clients.push_back({"mirelo-ftp", [&](const std::string& out) {
                               std::vector<std::string> args{tool, "--port", port, "127.0.0.1", "-e", "cwd many"};
                               char file[32];
                               for (int i = 0; i < files; ++i) {
                                   std::snprintf(file, sizeof file, "f%04d.bin", i);
                                   args.push_back("-e");
                                   args.push_back(std::string("get ") + file + " " + out + "/" + file);
                               }
                               return args;
                           }, {}});
        if (haveCurl)
            clients.push_back({"curl", [&](const std::string& out) {
                                   char range[48];
                                   std::snprintf(range, sizeof range, "many/f[0000-%04d].bin", files - 1);
                                   return std::vector<std::string>{"/usr/bin/curl", "-s", "-S", url + range, "-o",
                                                                   out + "/f#1.bin"};
                               }, {}});
        if (haveLftp)
            clients.push_back({"lftp", [&](const std::string& out) {
                                   return std::vector<std::string>{"/usr/bin/lftp", "-p", port, "-e",
                                                                   "set ftp:passive-mode on; mget -O " + out +
                                                                       " many/*.bin; quit",
                                                                   "127.0.0.1"};
                               }, {}});
        std::string out = work / "many";
        RunRounds(clients, runs, 600, out,
                  [&] {
                      std::filesystem::remove_all(out);
                      std::filesystem::create_directories(out);
                  },
                  [&] {
                      int count = 0;
                      for (const auto& entry : std::filesystem::directory_iterator(out))
                          count += entry.file_size() == 10 * 1024;
                      return count == files;
                  });
        Report(clients);
        std::printf("  target: wall <= curl's\n");
    }

    // A server that greets and then never answers: the client waits out its time-out.
    std::printf("\n== waiting 2 s for a reply that never comes\n");
    ScriptedPeer silent;
    silent.SetStepTimeout(20000);
    silent.Reply("220 silent peer").ExpectPrefix("USER").ExpectClose();
    silent.Start();
    Sample wait = Measure({tool, "--port", std::to_string(silent.Port()), "--timeout", "2", "127.0.0.1", "-e", "pwd"}, 60);
    std::string failure;
    silent.Finish(failure);
    std::printf("  mirelo-ftp  wall %.3f s  cpu %.3f s  exit %d (1 expected: the time-out)\n", wait.WallSeconds,
                wait.CpuSeconds, wait.Status);
    return 0;
}
