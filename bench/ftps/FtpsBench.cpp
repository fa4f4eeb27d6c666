// One large file (1 GiB by default) over FTP with TLS (explicit FTPS: AUTH TLS, PROT P) from
// vsftpd on loopback, fetched by mirelo-ftp --ssl-reqd, curl --ssl-reqd and lftp with TLS forced
// on the control and the data connections, in turn, all with PASV and the test authority as the
// trusted one. A check run compares every client's file byte for byte with the served one; at
// least 7 counted rounds follow, and the report gives wall, processor time and peak memory with
// the ratios to the best peer of this run (bench/common/BenchRun.h). vsftpd demands that each
// data connection resumes the control connection's TLS session, which all three do; here it also
// refuses log-ons and data connections in the clear, so no client can be timed without TLS.
//
// Usage: bench_ftps [--runs N] [--size-mib N] [--nice N | --realtime]
// Needs root (vsftpd), curl and lftp; a missing client is left out with a note.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchRun.h"
#include "FtpServers.h"
#include "TempDir.h"
#include "TestCertificates.h"

namespace {

using namespace bench;


}  // namespace

int main(int argc, char** argv) {
    CommonOptions common;
    std::int64_t sizeMiB = 1024;
    for (int i = 1; i < argc; ++i) {
        if (TakeCommonOption(argc, argv, i, common))
            continue;
        const std::string arg = argv[i];
        if (arg == "--size-mib" && i + 1 < argc)
            sizeMiB = std::clamp(std::atoi(argv[++i]), 1, 16384);
        else {
            std::fprintf(stderr, "usage: bench_ftps [--runs N] [--size-mib N] [--nice N | --realtime]\n");
            return 2;
        }
    }
    std::string reason;
    if (!VsftpdServer::CanRun(reason)) {
        std::fprintf(stderr, "bench_ftps: %s\n", reason.c_str());
        return 1;
    }
    const std::string tool = MIRELO_FTP_TOOL;
    const std::string ca = TestAuthorityFile();
    const CertificateFiles good = TestCertificateFiles(TestCertificate::Good);
    TempDir root;
    TempDir work;
    WritePattern(root / "big.bin", sizeMiB << 20);
    const std::string priority = RaisePriority(common.Niceness, common.Realtime);
    VsftpdServer server(root.Path(), VsftpdServer::Tls{good.Cert, good.Key, true});
    const std::string port = std::to_string(server.Port());
    const std::string url = "ftp://127.0.0.1:" + port + "/big.bin";
    bool haveCurl = Executable("/usr/bin/curl"), haveLftp = Executable("/usr/bin/lftp");
    if (!haveCurl || !haveLftp)
        std::printf("note: %s missing; left out (scripts/install-deps test installs them)\n",
                    !haveCurl ? "curl" : "lftp");
    std::printf("vsftpd with TLS on 127.0.0.1:%s; a check run and %d counted runs per client; %s\n", port.c_str(),
                common.Runs, priority.c_str());

    std::vector<Client> clients;
    clients.emplace_back("mirelo-ftp", [&](const std::string& out) {
        return std::vector<Argv>{
            {tool, "--port", port, "--ssl-reqd", "--cacert", ca, "127.0.0.1", "-e", "get big.bin " + out}};
    });
    if (haveCurl)
        clients.emplace_back("curl", [&](const std::string& out) {
            return std::vector<Argv>{
                {"/usr/bin/curl", "-s", "-S", "--ssl-reqd", "--cacert", ca, "--disable-epsv", url, "-o", out}};
        });
    if (haveLftp)
        clients.emplace_back("lftp", [&](const std::string& out) {
            // lftp keeps anonymous sessions in the clear unless told otherwise.
            return std::vector<Argv>{{"/usr/bin/lftp", "-e",
                                      "set ftp:passive-mode on; set ftp:prefer-epsv no; set cmd:fail-exit yes; "
                                      "set xfer:clobber on; set net:max-retries 1; set ftp:ssl-allow-anonymous true; "
                                      "set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:ca-file " + ca +
                                          "; open -p " + port + " 127.0.0.1; get big.bin -o " + out + "; quit"}};
        });

    const std::int64_t bigBytes = sizeMiB << 20;
    const std::string big = root / "big.bin";
    Case job = FileCase(std::to_string(sizeMiB) + " MiB file over TLS to disk", work / "big.out", big, bigBytes);
    RunCase(job, clients, common.Runs);
    // Wall and processor time are the targets; the peak is shown beside them as a ratio only: TLS
    // brings OpenSSL and the system's trust store into memory, as it does for every client.
    const bool met =
        Report(clients, {{"wall", &Sample::WallSeconds, 1.0}, {"cpu", &Sample::CpuSeconds, 1.0}}, 0);
    std::printf("\n%s\n", met ? "every target met" : "some target NOT MET (see above)");
    return 0;
}
