// The command line of mirelo-ftp: options, the host and the commands to run, checked before any
// connection is made. Pure: no I/O. Any thread.
#pragma once

#include <string>
#include <vector>

// One -e command: its text as given (for messages), its name and its arguments.
struct FtpToolCommand {
    std::string Text;
    std::string Name;
    std::vector<std::string> Args;
};

struct FtpToolOptions {
    std::string Host;
    std::string Port = "21";
    std::string User = "anonymous";
    std::string Password = "mirelo-ftp@localhost";
    bool Active = false;
    bool Ascii = false;
    int TimeoutSeconds = 60;
    bool Trace = false;
    bool Progress = false;
    // A failed get is not tried again from the bytes on disk.
    bool NoRetry = false;
    bool Help = false;
    // --proxy HOST: an FTP proxy that is told the target as "user@HOST" in the user name.
    std::string ProxyServer;
    // --socks4, --socks4a or --socks5 HOST:PORT: "4", "4A" or "5", empty for none.
    std::string SocksLevel;
    std::string SocksServer;
    std::string SocksPort;
    std::string SocksUser;
    std::string SocksPassword;
    // --ssl: TLS when the server takes AUTH TLS, the clear otherwise; --ssl-reqd: TLS or no
    // session; --cacert FILE: authorities trusted besides the system's.
    bool Ssl = false;
    bool SslRequired = false;
    std::string CaCertFile;
    std::vector<FtpToolCommand> Commands;
};

// Fills `options` from the arguments after the program name. Returns an empty string when they
// are valid (or --help was asked for), otherwise the usage error to print.
std::string ParseFtpToolArgs(const std::vector<std::string>& args, FtpToolOptions& options);

// Splits a command into words: blanks separate them, and single or double quotes keep blanks
// inside one. "quote" keeps the rest of its line as one argument, exactly as typed.
bool SplitFtpToolCommand(const std::string& text, FtpToolCommand& command, std::string& error);

std::string FtpToolUsage();
