#include "FtpToolArgs.h"

#include <map>

namespace {

struct Arity {
    int Min;
    int Max;
    const char* Synopsis;
};

const std::map<std::string, Arity>& KnownCommands() {
    static const std::map<std::string, Arity> commands = {
        {"cwd", {1, 1, "cwd DIR"}},
        {"pwd", {0, 0, "pwd"}},
        {"cdup", {0, 0, "cdup"}},
        {"size", {1, 1, "size FILE"}},
        {"get", {1, 2, "get REMOTE [LOCAL]"}},
        {"resume-get", {1, 2, "resume-get REMOTE [LOCAL]"}},
        {"put", {1, 2, "put LOCAL [REMOTE]"}},
        {"append", {1, 2, "append LOCAL [REMOTE]"}},
        {"resume-put", {1, 2, "resume-put LOCAL [REMOTE]"}},
        {"ls", {0, 1, "ls [PATH]"}},
        {"nlst", {0, 1, "nlst [PATH]"}},
        {"mkdir", {1, 1, "mkdir DIR"}},
        {"rmdir", {1, 1, "rmdir DIR"}},
        {"rm", {1, 1, "rm FILE"}},
        {"mv", {2, 2, "mv FROM TO"}},
        {"syst", {0, 0, "syst"}},
        {"quote", {1, 1, "quote TEXT"}},
    };
    return commands;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    int port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

bool ParseTimeout(const std::string& text, int& seconds) {
    if (text.empty() || text.size() > 7)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    seconds = std::stoi(text);
    return true;
}

// "HOST:PORT" with a non-empty host and a port from 1 to 65535.
bool ParseHostPort(const std::string& text, std::string& host, std::string& port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    return ParsePort(port);
}

}  // namespace

bool SplitFtpToolCommand(const std::string& text, FtpToolCommand& command, std::string& error) {
    command = FtpToolCommand{};
    command.Text = text;
    std::size_t pos = 0;
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    std::size_t nameEnd = pos;
    while (nameEnd < text.size() && !IsBlank(text[nameEnd]))
        ++nameEnd;
    command.Name = text.substr(pos, nameEnd - pos);
    pos = nameEnd;
    if (command.Name.empty()) {
        error = "empty command";
        return false;
    }
    if (command.Name == "quote") {
        while (pos < text.size() && IsBlank(text[pos]))
            ++pos;
        if (pos < text.size())
            command.Args.push_back(text.substr(pos));
        return true;
    }
    while (pos < text.size()) {
        while (pos < text.size() && IsBlank(text[pos]))
            ++pos;
        if (pos >= text.size())
            break;
        std::string word;
        while (pos < text.size() && !IsBlank(text[pos])) {
            char c = text[pos];
            if (c == '"' || c == '\'') {
                std::size_t close = text.find(c, pos + 1);
                if (close == std::string::npos) {
                    error = std::string("unmatched ") + c + " in \"" + text + "\"";
                    return false;
                }
                word += text.substr(pos + 1, close - pos - 1);
                pos = close + 1;
            } else {
                word += c;
                ++pos;
            }
        }
        command.Args.push_back(word);
    }
    return true;
}

std::string ParseFtpToolArgs(const std::vector<std::string>& args, FtpToolOptions& options) {
    options = FtpToolOptions{};
    int proxyOptions = 0;
    bool socksPasswordGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            std::size_t equals = arg.find('=');
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
                arg = arg.substr(0, equals);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&](std::string& out) -> bool {
            if (hasInlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            options.Help = true;
            return "";
        }
        if (arg == "--port") {
            if (!takeValue(options.Port) || !ParsePort(options.Port))
                return "--port needs a port number from 1 to 65535";
        } else if (arg == "--user") {
            if (!takeValue(options.User) || options.User.empty())
                return "--user needs a name";
        } else if (arg == "--password") {
            if (!takeValue(options.Password))
                return "--password needs a text";
        } else if (arg == "--timeout") {
            std::string seconds;
            if (!takeValue(seconds) || !ParseTimeout(seconds, options.TimeoutSeconds))
                return "--timeout needs a number of seconds (0: no limit)";
        } else if (arg == "--proxy") {
            if (!takeValue(options.ProxyServer) || options.ProxyServer.empty())
                return "--proxy needs the proxy's host";
            ++proxyOptions;
        } else if (arg == "--socks4" || arg == "--socks4a" || arg == "--socks5") {
            std::string hostPort;
            if (!takeValue(hostPort) || !ParseHostPort(hostPort, options.SocksServer, options.SocksPort))
                return arg + " needs HOST:PORT, with a port from 1 to 65535";
            options.SocksLevel = arg == "--socks4" ? "4" : arg == "--socks4a" ? "4A" : "5";
            ++proxyOptions;
        } else if (arg == "--socks-user") {
            if (!takeValue(options.SocksUser) || options.SocksUser.empty())
                return "--socks-user needs a name";
        } else if (arg == "--socks-password") {
            if (!takeValue(options.SocksPassword))
                return "--socks-password needs a text";
            socksPasswordGiven = true;
        } else if (arg == "--cacert") {
            if (!takeValue(options.CaCertFile) || options.CaCertFile.empty())
                return "--cacert needs a file";
        } else if (bool* flag = arg == "--active"     ? &options.Active
                                : arg == "--ascii"    ? &options.Ascii
                                : arg == "--trace"    ? &options.Trace
                                : arg == "--progress" ? &options.Progress
                                : arg == "--no-retry" ? &options.NoRetry
                                : arg == "--ssl"      ? &options.Ssl
                                : arg == "--ssl-reqd" ? &options.SslRequired
                                                      : nullptr) {
            if (hasInlineValue)
                return arg + " takes no value";
            *flag = true;
        } else if (arg == "-e") {
            if (i + 1 >= args.size())
                return "-e needs a command";
            FtpToolCommand command;
            std::string error;
            if (!SplitFtpToolCommand(args[++i], command, error))
                return error;
            auto known = KnownCommands().find(command.Name);
            if (known == KnownCommands().end())
                return "unknown command \"" + command.Name + "\"";
            int count = static_cast<int>(command.Args.size());
            if (count < known->second.Min || count > known->second.Max)
                return "usage: " + std::string(known->second.Synopsis);
            options.Commands.push_back(command);
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.Host.empty()) {
            options.Host = arg;
        } else {
            return "only one HOST may be given (also \"" + arg + "\")";
        }
    }
    if (proxyOptions > 1)
        return "only one of --proxy, --socks4, --socks4a and --socks5 may be given";
    if ((!options.SocksUser.empty() || socksPasswordGiven) && options.SocksLevel.empty())
        return "--socks-user and --socks-password need --socks4, --socks4a or --socks5";
    if (socksPasswordGiven && options.SocksUser.empty())
        return "--socks-password needs --socks-user";
    if (options.Active && proxyOptions > 0)
        return "--active cannot be used with a proxy: data connections through it are always passive";
    if (options.Host.empty())
        return "no HOST given";
    if (options.Commands.empty())
        return "no command given (-e COMMAND)";
    return "";
}

std::string FtpToolUsage() {
    return "usage: mirelo-ftp [--port PORT] [--user NAME] [--password TEXT] [--active] [--ascii]\n"
           "                  [--timeout SECONDS] [--trace] [--progress] [--no-retry]\n"
           "                  [--ssl | --ssl-reqd] [--cacert FILE]\n"
           "                  [--proxy PROXY | --socks4 HOST:PORT | --socks4a HOST:PORT | --socks5 HOST:PORT]\n"
           "                  [--socks-user NAME] [--socks-password TEXT] HOST -e COMMAND [-e COMMAND]...\n"
           "\n"
           "Logs on to HOST (anonymous unless --user is given), runs the commands in order, and\n"
           "ends the session with QUIT. Transfers are binary and passive unless --ascii or\n"
           "--active is given; a server or network that refuses passive gets PORT. A command\n"
           "that finds the connection closed logs on again. A get that fails for a passing\n"
           "reason (a cut, a reset, a stall, 421, 425, 426, 450, 451) is tried again from the\n"
           "bytes already on disk. The first failing command stops the run (exit status 1).\n"
           "\n"
           "Commands:\n"
           "  cwd DIR                    pwd                      cdup\n"
           "  size FILE                  (prints the size in bytes)\n"
           "  get REMOTE [LOCAL]         (LOCAL \"-\" writes to standard output)\n"
           "  resume-get REMOTE [LOCAL]  put LOCAL [REMOTE]       append LOCAL [REMOTE]\n"
           "  resume-put LOCAL [REMOTE]  ls [PATH]                nlst [PATH]\n"
           "  mkdir DIR                  rmdir DIR                rm FILE\n"
           "  mv FROM TO                 syst                     quote TEXT\n"
           "\n"
           "Options:\n"
           "  --port PORT        control port (default 21)\n"
           "  --timeout SECONDS  give up on a reply or a stalled transfer after this long\n"
           "                     (default 60; 0 waits without limit)\n"
           "  --trace            show the commands and replies on standard error, and the TLS\n"
           "                     version and cipher\n"
           "  --ssl              use TLS (AUTH TLS) when the server offers it, the clear otherwise\n"
           "  --ssl-reqd         use TLS or nothing: a server without it is not used\n"
           "  --cacert FILE      trust the authorities in the PEM FILE besides the system's\n"
           "  --progress         show a progress bar on standard error\n"
           "  --no-retry         a get that fails is not tried again\n"
           "  --proxy PROXY      connect to the FTP proxy PROXY (on PORT) and name the server\n"
           "                     to it in the user name, as NAME@HOST\n"
           "  --socks4 HOST:PORT, --socks4a HOST:PORT, --socks5 HOST:PORT\n"
           "                     reach HOST through a SOCKS server of that level; the control and\n"
           "                     every data connection go through it\n"
           "  --socks-user NAME, --socks-password TEXT\n"
           "                     the SOCKS user code and password (SOCKS 5: user name and\n"
           "                     password authentication; SOCKS 4: the user id)\n";
}
