// Benchmarks of mirelo-ftp against curl and lftp, all fetching from the same vsftpd on loopback
// with the same passive command (PASV: curl with --disable-epsv, lftp with EPSV off):
//   1. one large file (1 GiB by default) to disk;
//   2. the same file to standard output, a pipe that this program drains;
//   3. many small files (1000 of 10 KiB) in one session;
//   4. the processor time of a 10 s wait for a reply that never comes.
// Each case starts with a check run in which every client's output is compared byte for byte with
// what the server holds; at least 7 counted rounds follow, and the report gives min, median and
// max and the ratios to the best peer of this run (bench/common/BenchRun.h). Every run is bounded
// and the program ends by itself.
//
// Usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--nice N | --realtime] [--skip-large] [--skip-pipe]
//                  [--skip-small] [--skip-idle]
// Needs root (vsftpd), curl and lftp; a missing client is left out with a note.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchRun.h"
#include "FtpServers.h"
#include "TempDir.h"

namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;

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
    CommonOptions common;
    std::int64_t sizeMiB = 1024;
    int files = 1000;
    bool large = true, pipe = true, small = true, idle = true;
    for (int i = 1; i < argc; ++i) {
        if (TakeCommonOption(argc, argv, i, common))
            continue;
        const std::string arg = argv[i];
        if (arg == "--size-mib" && i + 1 < argc)
            sizeMiB = std::clamp(std::atoi(argv[++i]), 1, 16384);
        else if (arg == "--files" && i + 1 < argc)
            files = std::clamp(std::atoi(argv[++i]), 1, 10000);
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
                         "usage: bench_ftp [--runs N] [--size-mib N] [--files N] [--nice N | --realtime] [--skip-large] "
                         "[--skip-pipe] [--skip-small] [--skip-idle]\n");
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
    if (large || pipe)
        WritePattern(root / "big.bin", sizeMiB << 20);
    char name[32];
    for (int i = 0; i < files && small; ++i) {
        std::snprintf(name, sizeof name, "many/f%04d.bin", i);
        WritePattern(root / name, 10 * 1024 + i);  // each its own length and bytes
    }
    const std::string priority = RaisePriority(common.Niceness, common.Realtime);
    VsftpdServer server(root.Path(), 20000);
    std::string port = std::to_string(server.Port());
    std::string url = "ftp://127.0.0.1:" + port + "/";
    bool haveCurl = Executable("/usr/bin/curl"), haveLftp = Executable("/usr/bin/lftp");
    if (!haveCurl || !haveLftp)
        std::printf("note: %s missing; left out (scripts/install-deps test installs them)\n",
                    !haveCurl ? "curl" : "lftp");
    std::printf("vsftpd on 127.0.0.1:%s; a check run and %d counted runs per client and case; %s\n",
                port.c_str(), common.Runs, priority.c_str());
    // Every client logs on anonymously, asks for binary type and opens each data connection with
    // PASV; lftp stops at the first failed command, so its exit status means something.
    const std::string lftpSet =
        "set ftp:passive-mode on; set ftp:prefer-epsv no; set cmd:fail-exit yes; set xfer:clobber on; "
        "set net:max-retries 1; ";
    bool allMet = true;

    auto largeClients = [&](bool toPipe) {
        std::vector<Client> clients;
        clients.emplace_back("mirelo-ftp", [&, toPipe](const std::string& out) {
                               return std::vector<Argv>{{tool, "--port", port, "127.0.0.1", "-e",
                                                               "get big.bin " + (toPipe ? std::string("-") : out)}};
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&, toPipe](const std::string& out) {
                                   std::vector<std::string> args{"/usr/bin/curl", "-s", "-S", "--disable-epsv", url + "big.bin"};
                                   if (!toPipe)
                                       args.insert(args.end(), {"-o", out});
                                   return std::vector<Argv>{args};
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&, toPipe](const std::string& out) {
                                   return std::vector<Argv>{{"/usr/bin/lftp", "-p", port, "-e",
                                                                   lftpSet + (toPipe ? "cat big.bin" : "get big.bin -o " + out) + "; quit",
                                                                   "127.0.0.1"}};
                               });
        return clients;
    };
    const std::int64_t bigBytes = sizeMiB << 20;
    const std::string big = root / "big.bin";

    if (large) {
        std::vector<Client> clients = largeClients(false);
        Case job = FileCase(std::to_string(sizeMiB) + " MiB file to disk", work / "big.out", big, bigBytes);
        RunCase(job, clients, common.Runs);
        allMet = Report(clients, {{"wall", &Sample::WallSeconds, 0.9}, {"cpu", &Sample::CpuSeconds, 1.0}}, 4.0) && allMet;
    }

    if (pipe) {
        std::vector<Client> clients = largeClients(true);
        Case job;
        job.Title = std::to_string(sizeMiB) + " MiB file to standard output, a pipe";
        job.PipeExpected = big;
        job.ToPipe = true;
        job.PipeBytes = bigBytes;
        job.Clean = [] {};
        RunCase(job, clients, common.Runs);
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
                               return std::vector<Argv>{args};
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&](const std::string& out) {
                                   char range[48];
                                   std::snprintf(range, sizeof range, "many/f[0000-%04d].bin", files - 1);
                                   return std::vector<Argv>{{"/usr/bin/curl", "-s", "-S", "--disable-epsv",
                                                                   url + range, "-o", out + "/f#1.bin"}};
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&](const std::string& out) {
                                   return std::vector<Argv>{{"/usr/bin/lftp", "-p", port, "-e",
                                                                   lftpSet + "mget -O " + out + " many/*.bin; quit",
                                                                   "127.0.0.1"}};
                               });
        Case job;
        job.Title = std::to_string(files) + " files of about 10 KiB in one session";
        job.Out = work / "many";
        // What a run fetched is moved aside, not deleted, until the case ends: right after many
        // deletions ext4 searches long for a free inode (about 0.7 ms a file here), which every
        // client then paid on every file and which hid their own differences.
        const std::string aside = work / "aside";
        int runsAside = 0;
        job.Clean = [&] {
            if (std::filesystem::exists(job.Out))
                std::filesystem::rename(job.Out, aside + std::to_string(runsAside++));
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
        RunCase(job, clients, common.Runs);
        for (int i = 0; i < runsAside; ++i)
            std::filesystem::remove_all(aside + std::to_string(i));
        allMet = Report(clients, {{"wall", &Sample::WallSeconds, 0.8}}, 4.0) && allMet;
    }

    if (idle) {
        // Each client waits 10 s for the answer to its log-on; only its processor time matters.
        std::printf("\n== waiting 10 s for a reply that never comes (one run each)\n");
        SilentServer silent(3 * 40);
        std::string silentPort = std::to_string(silent.Port());
        std::vector<Client> clients;
        clients.emplace_back("mirelo-ftp", [&](const std::string&) {
                               return std::vector<Argv>{{tool, "--port", silentPort, "--timeout", "10", "127.0.0.1", "-e", "pwd"}};
                           });
        if (haveCurl)
            clients.emplace_back("curl", [&](const std::string&) {
                                   return std::vector<Argv>{{"/usr/bin/curl", "-s", "--disable-epsv", "-m", "10",
                                                                   "ftp://127.0.0.1:" + silentPort + "/x"}};
                               });
        if (haveLftp)
            clients.emplace_back("lftp", [&](const std::string&) {
                                   return std::vector<Argv>{{"/usr/bin/lftp", "-p", silentPort, "-e",
                                                                   lftpSet + "set net:timeout 10; ls; quit", "127.0.0.1"}};
                               });
        for (Client& client : clients) {
            Sample sample = Measure(client.Commands("")[0], 40, nullptr);
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
