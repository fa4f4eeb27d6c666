// A download through a network that keeps cutting it: one file (200 MiB by default) served by the
// fault-injecting test server on loopback, which closes the data connection after every 20 MiB
// of a transfer (from wherever the transfer started) and answers 426, until what is left fits in
// one piece. mirelo-ftp (its retrying get), lftp (get -c with its retry settings), wget (-c
// --tries) and curl (-C - --retry) fetch it in turns, 3 runs each by default, every client with
// retries 1 s apart. Per run: success (exit status 0 and the file byte for byte), wall time, and
// the bytes the server had to send again (all it sent, less the file's size). Every run is
// bounded in time and the program ends by itself.
//
// Usage: bench_resilience [--runs N] [--size-mib N] [--cut-mib N] [--limit SECONDS]
// Needs lftp, wget and curl; a missing client is left out with a note.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BenchRun.h"
#include "FaultyFtpServer.h"
#include "PatternBytes.h"
#include "TempDir.h"

namespace {

using namespace bench;

bool SameAs(const std::string& path, const std::string& expected) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return got == expected;
}

struct Peer {
    std::string Name;
    std::function<Argv(const std::string& url, std::uint16_t port, const std::string& folder)> Command;
    bool Available = true;
};

struct Result {
    bool Success = false;
    double WallSeconds = 0;
    std::int64_t SentTwice = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::int64_t sizeMiB = 200;
    std::int64_t cutMiB = 20;
    int limit = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::int64_t& into) {
            if (i + 1 >= argc || (into = std::atoll(argv[++i])) <= 0) {
                std::fprintf(stderr, "%s needs a positive number\n", arg.c_str());
                std::exit(2);
            }
        };
        std::int64_t number = 0;
        if (arg == "--runs") {
            value(number);
            runs = static_cast<int>(std::min<std::int64_t>(number, 20));
        } else if (arg == "--size-mib") {
            value(sizeMiB);
        } else if (arg == "--cut-mib") {
            value(cutMiB);
        } else if (arg == "--limit") {
            value(number);
            limit = static_cast<int>(std::min<std::int64_t>(number, 3600));
        } else {
            std::fprintf(stderr, "usage: bench_resilience [--runs N] [--size-mib N] [--cut-mib N] [--limit SECONDS]\n");
            return 2;
        }
    }

    const std::int64_t size = sizeMiB << 20;
    const std::string content = PatternBytes(static_cast<std::size_t>(size));
    FaultyFtpServer server;
    server.AddFile("/pub/big.bin", content);
    const std::string path = "/pub/big.bin";
    TempDir work;

    std::vector<Peer> peers{
        {"mirelo-ftp",
         [](const std::string&, std::uint16_t port, const std::string& folder) {
             return Argv{MIRELO_FTP_TOOL, "--port", std::to_string(port), "--timeout", "30", "127.0.0.1",
                         "-e", "get /pub/big.bin " + folder + "big.bin"};
         }},
        {"lftp",
         [](const std::string&, std::uint16_t port, const std::string& folder) {
             return Argv{"lftp", "-c",
                         "set cmd:fail-exit yes; set net:max-retries 20; set net:reconnect-interval-base 1; "
                         "set net:reconnect-interval-multiplier 1; set net:reconnect-interval-max 1; "
                         "set net:timeout 30; set ftp:passive-mode on; set ftp:prefer-epsv no; "
                         "set xfer:clobber on; open -u anonymous,bench@localhost -p " + std::to_string(port) +
                             " 127.0.0.1; get -c /pub/big.bin -o " + folder + "big.bin"};
         }},
        {"wget",
         [](const std::string& url, std::uint16_t, const std::string& folder) {
             return Argv{"wget", "-q", "-c", "--tries=20", "--waitretry=1", "--timeout=30", "-P", folder, url};
         }},
        {"curl",
         [](const std::string& url, std::uint16_t, const std::string& folder) {
             return Argv{"curl", "-s", "-S", "--disable-epsv", "-C", "-", "--retry", "20", "--retry-delay", "1",
                         "--retry-all-errors", "--max-time", "300", "-o", folder + "big.bin", url};
         }},
    };
    for (Peer& peer : peers)
        if (peer.Name != "mirelo-ftp" && std::system(("command -v " + peer.Name + " >/dev/null 2>&1").c_str()) != 0) {
            peer.Available = false;
            std::printf("note: %s is not installed; left out\n", peer.Name.c_str());
        }

    const std::string url = "ftp://127.0.0.1:" + std::to_string(server.Port()) + path;
    std::printf("resilience: %lld MiB, cut every %lld MiB of a transfer (data connection closed, 426), %d runs each\n",
                static_cast<long long>(sizeMiB), static_cast<long long>(cutMiB), runs);
    std::vector<std::vector<Result>> results(peers.size());
    for (int round = 0; round < runs; ++round) {
        for (std::size_t turn = 0; turn < peers.size(); ++turn) {
            // The order rotates every round, so no client always runs first or last.
            const std::size_t index = (turn + static_cast<std::size_t>(round)) % peers.size();
            Peer& peer = peers[index];
            if (!peer.Available)
                continue;
            const std::string folder = work / (peer.Name + "-" + std::to_string(round) + "/");
            std::filesystem::create_directories(folder);
            server.SetCutAfter(cutMiB << 20);
            server.SetFault(FaultyFtpServer::Fault::CutTransfer, "RETR", "big.bin");
            const std::int64_t sentBefore = server.BytesSent(path);
            const Sample sample = Measure(peer.Command(url, server.Port(), folder), limit, nullptr);
            Result result;
            result.WallSeconds = sample.WallSeconds;
            result.SentTwice = server.BytesSent(path) - sentBefore - size;
            result.Success = !sample.Stalled && sample.Status == 0 && SameAs(folder + "big.bin", content);
            std::printf("  round %d  %-10s  %-7s  %7.2f s  sent twice %lld bytes%s\n", round + 1, peer.Name.c_str(),
                        result.Success ? "ok" : "FAILED", result.WallSeconds, static_cast<long long>(result.SentTwice),
                        sample.Stalled ? " (stalled, killed)" : "");
            std::fflush(stdout);
            results[index].push_back(result);
            std::filesystem::remove_all(folder);
        }
    }

    std::printf("\n| client | succeeded | wall s (min / median / max) | sent twice, MiB (median) | bytes sent / file |\n");
    std::printf("|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (results[i].empty())
            continue;
        std::vector<double> walls, twice;
        int ok = 0;
        for (const Result& r : results[i]) {
            ok += r.Success;
            walls.push_back(r.WallSeconds);
            twice.push_back(static_cast<double>(r.SentTwice) / (1 << 20));
        }
        const Spread wall = SpreadOf(walls);
        const double medianTwice = Median(twice);
        std::printf("| %s | %d of %zu | %.2f / %.2f / %.2f | %.1f | %.2fx |\n", peers[i].Name.c_str(), ok,
                    results[i].size(), wall.Min, wall.Median, wall.Max, medianTwice,
                    1.0 + medianTwice * (1 << 20) / static_cast<double>(size));
    }
    return 0;
}
