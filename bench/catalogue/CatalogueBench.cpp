// The whole sample catalogue (demo/site) fetched by the downloader's headless mode against lftp
// mirroring the same files from the same server. One run of the downloader is one
// `--download-all`: every installation of every product, each into a folder of its own, in one
// session, as a user fetching everything does; one run of lftp is one `mirror` of the product
// directory, which holds exactly the files the catalogue names (catalogues, components and their
// parts, rules, the support file). The check run compares every file either fetched with the
// served one; the counted rounds check the counts. Reported as in bench_ftp: min, median and max,
// and the wall as a ratio to lftp's (target at most 1.0). The program's own list (`--list`) is
// printed first, to show what the catalogue holds.
//
// Usage: bench_catalogue [--runs N] [--server vsftpd|pyftpdlib] [--nice N | --realtime]
// vsftpd (the default) needs root; pyftpdlib is the demo's own server, slower, and so measures
// mostly itself.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BenchRun.h"
#include "FtpServers.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace bench;

// Product and installation names as `--list` prints them: a product line starts in the first
// column and ends in " (versão …)", its installations follow as "    instalação: NAME".
std::vector<std::pair<std::string, std::string>> ListInstallations(const std::string& program) {
    std::vector<std::pair<std::string, std::string>> found;
    std::FILE* list = ::popen((program + " --list 2>/dev/null").c_str(), "r");
    if (list == nullptr)
        return found;
    std::string product;
    char line[4096];
    const std::string installation = "    instalação: ";
    while (std::fgets(line, sizeof line, list) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        if (!text.empty() && text[0] != ' ') {
            product = text.substr(0, text.rfind(" (versão "));
        } else if (text.rfind(installation, 0) == 0 && !product.empty()) {
            found.emplace_back(product, text.substr(installation.size()));
        }
    }
    ::pclose(list);
    return found;
}

// Every regular file under `folder`, by its path relative to it.
std::map<std::string, std::string> FilesUnder(const std::string& folder) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file())
            files[fs::relative(it->path(), folder).string()] = it->path().string();
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    CommonOptions common;
    std::string serverKind = "vsftpd";
    for (int i = 1; i < argc; ++i) {
        if (TakeCommonOption(argc, argv, i, common))
            continue;
        const std::string arg = argv[i];
        if (arg == "--server" && i + 1 < argc)
            serverKind = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_catalogue [--runs N] [--server vsftpd|pyftpdlib] [--nice N | --realtime]\n");
            return 2;
        }
    }
    if (serverKind != "vsftpd" && serverKind != "pyftpdlib") {
        std::fprintf(stderr, "bench_catalogue: --server is vsftpd or pyftpdlib\n");
        return 2;
    }
    std::string reason;
    if (serverKind == "vsftpd" && !VsftpdServer::CanRun(reason)) {
        std::fprintf(stderr, "bench_catalogue: %s (or use --server pyftpdlib)\n", reason.c_str());
        return 1;
    }
    if (!Executable("/usr/bin/lftp")) {
        std::fprintf(stderr, "bench_catalogue: lftp is missing (scripts/install-deps test installs it)\n");
        return 1;
    }
    const std::string priority = RaisePriority(common.Niceness, common.Realtime);

    // The server gets a copy: vsftpd wants its own rights on the folder it serves.
    TempDir root;
    TempDir work;
    fs::copy(std::string(MIRELO_DEMO_SITE), root.Path(), fs::copy_options::recursive);
    const std::map<std::string, std::string> served = FilesUnder(root / "pub/mirelo");
    std::unique_ptr<VsftpdServer> vsftpd;
    std::unique_ptr<PyFtpdServer> pyftpd;
    std::uint16_t port = 0;
    if (serverKind == "vsftpd") {
        vsftpd = std::make_unique<VsftpdServer>(root.Path());
        port = vsftpd->Port();
    } else {
        PyFtpdServer::Options options;
        options.Root = root.Path();
        pyftpd = std::make_unique<PyFtpdServer>(options);
        port = pyftpd->Port();
    }
    // The downloader keeps its catalogue copies in its working folder and reads the installed
    // versions from a Wine prefix: both are this run's own, emptied before every run.
    const std::string cwd = work / "cwd";
    fs::create_directories(cwd);
    if (::chdir(cwd.c_str()) != 0) {
        std::perror("chdir");
        return 1;
    }
    ::setenv("MIRELO_FTP_HOSTS", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    ::setenv("WINEPREFIX", (work / "wine").c_str(), 1);

    const std::string program = MIRELO_DOWNLOADER;
    const auto installations = ListInstallations(program);
    if (installations.empty()) {
        std::fprintf(stderr, "bench_catalogue: %s --list named no installation\n", program.c_str());
        return 1;
    }
    std::printf("%s on 127.0.0.1:%u serving demo/site (%zu files under /pub/mirelo); %s; %zu installations:\n",
                serverKind.c_str(), port, served.size(), priority.c_str(), installations.size());
    for (const auto& [product, installation] : installations)
        std::printf("  %s / %s\n", product.c_str(), installation.c_str());

    std::vector<Client> clients;
    clients.emplace_back("downloader", [&](const std::string& out) {
        return std::vector<Argv>{{program, "--download-all", "--to", out}};
    });
    clients.emplace_back("lftp", [&](const std::string& out) {
        return std::vector<Argv>{{"/usr/bin/lftp", "-p", std::to_string(port), "-e",
                                  "set ftp:passive-mode on; set ftp:prefer-epsv no; set cmd:fail-exit yes; "
                                  "set net:max-retries 1; mirror /pub/mirelo " + out + "; quit",
                                  "127.0.0.1"}};
    });

    // Each fetched file is compared with the served file of its name (the downloader keeps only
    // names); the install rules it writes are its own, not fetched.
    std::map<std::string, std::string> servedByName;
    for (const auto& [relative, path] : served)
        servedByName[fs::path(relative).filename().string()] = path;
    std::size_t expectedDownloaderFiles = 0;
    Case job;
    job.Title = "the whole sample catalogue: headless downloader vs lftp mirror";
    job.Out = work / "out";
    job.Clean = [&] {
        fs::remove_all(job.Out);
        fs::create_directories(job.Out);
        for (const auto& entry : fs::directory_iterator(cwd))
            fs::remove_all(entry.path());
        fs::remove_all(work / "wine");
    };
    auto fetched = [&] {
        std::map<std::string, std::string> files = FilesUnder(job.Out);
        std::erase_if(files, [](const auto& file) {
            std::string name = fs::path(file.first).filename().string();
            return name == "TempRegras.Ini" || name == "Regras.Ini";
        });
        return files;
    };
    // Which client's output lies in job.Out is told by its shape: lftp mirrors the tree.
    auto isMirror = [&] { return fs::exists(job.Out + "/formularios.cfg"); };
    job.Check = [&](std::string& why) {
        std::map<std::string, std::string> files = fetched();
        if (isMirror()) {
            for (const auto& [relative, path] : served)
                if (!SameFiles(job.Out + "/" + relative, path)) {
                    why = relative + " missing or different";
                    return false;
                }
            return true;
        }
        for (const auto& [relative, path] : files) {
            auto same = servedByName.find(fs::path(relative).filename().string());
            if (same == servedByName.end() || !SameFiles(path, same->second)) {
                why = relative + " is no served file";
                return false;
            }
        }
        expectedDownloaderFiles = files.size();
        std::printf("  the downloader fetched %zu files, lftp mirrors %zu\n", files.size(), served.size());
        return !files.empty();
    };
    job.Quick = [&](std::string& why) {
        std::size_t count = fetched().size();
        std::size_t expected = isMirror() ? served.size() : expectedDownloaderFiles;
        if (count == expected)
            return true;
        why = std::to_string(count) + " files instead of " + std::to_string(expected);
        return false;
    };
    RunCase(job, clients, common.Runs);
    bool met = Report(clients, {{"wall", &Sample::WallSeconds, 1.0}}, 0);
    std::printf("\n%s\n", met ? "target met" : "target NOT MET (see above)");
    return 0;
}
