// A misbehaving FTP server for the fault-injection tests: a small but real FTP server on
// 127.0.0.1 and a thread of its own that serves files held in memory (passive and active data
// connections, CWD, SIZE, REST, RETR, LIST, NLST, the log-on) to one client at a time, and breaks
// the protocol in the one way its fault says: a greeting of 421, a connection closed in the
// middle of a reply, between requests or during a transfer, a data connection reset half-way or
// never opened, a reply that never comes, a 227 of garbage, a 64 KB reply line, a multi-line
// reply without end, a SIZE that lies, a transfer cut or stalled after a number of bytes, a 421
// that ends the session, an idle session dropped, PASV, PORT or REST refused. Several faults may
// hold at once (on different commands, or the same command with different counts). It counts
// the data bytes it sent of each file, so a test can tell how many crossed the network twice.
// Every wait on the client is bounded, and the destructor stops the thread whatever it is doing.
// The setters and readers may be called from any thread at any time; the faults in force when a
// command arrives are the ones it gets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class FaultyFtpServer {
public:
    enum class Fault {
        None,
        Greeting421,            // "421 ..." instead of the greeting, then the connection closes
        CloseDuringReply,       // the reply to the command stops half-way and the connection closes
        CloseAfterReply,        // the command gets its reply, then the connection closes
        CloseDuringTransfer,    // RETR: 150 and half the data, then the control connection closes
        ResetDataHalfway,       // RETR: half the data, the data connection is reset, then 426
        ResetDataClaimComplete, // RETR: half the data, the data connection is reset, then 226
        DataNeverOpens,         // PASV names a port nobody listens on; with PORT the server never
                                // connects: RETR gets 150 and then nothing
        DataFailsAfter150,      // RETR: 150, then "425" without ever connecting, as a server whose
                                // connect to the client's PORT a firewall stops
        LateDataFailure,        // PASV names a port nobody listens on, or with PORT the server
                                // cannot connect; RETR is answered "425" only once the next
                                // command arrives (or after 5 s), as a server that waits for the
                                // data connection does
        NoReply,                // the command never gets a reply
        PasvGarbage,            // "227 Entering Passive Mode (garbage)."
        LongReplyLine,          // the reply line is followed by 64 KB more before its line end
        EndlessMultiline,       // the reply is a multi-line reply whose last line never comes
        TruncatedTransfer,      // RETR: half the data, an orderly close and 226, as if that were all
        SizeLarger,             // SIZE says 1000 bytes more than RETR sends
        SizeSmaller,            // SIZE says half of what RETR sends
        NegativeSize,           // SIZE says -5
        CutTransfer,            // RETR: CutAfter() bytes from the REST offset, an orderly close of the
                                // data connection and 426; sent whole (226) when no more remain
        StallTransfer,          // RETR: CutAfter() bytes, then the data stops with both connections
                                // open, until the client closes the data connection or speaks on
                                // the control connection (ABOR); then 426
        Reply421,               // the command is answered 421 and the control connection closes, as
                                // a busy server or one shutting down does (USER: a refused log-on)
        RefusePasv,             // PASV: "502", as a server without passive mode answers
        RefusePort,             // PORT: "500 Illegal PORT command.", as a server that will not
                                // connect back through NAT answers
        RefuseRest,             // REST: "502", the offset is not taken
    };

    // Where CutTransfer, StallTransfer, ResetDataHalfway and ResetDataClaimComplete stop sending:
    // after `bytes` from the transfer's start; by default (or -1) half of what it would send.
    void SetCutAfter(std::int64_t bytes);
    // A session with no command for `limit` gets "421 Timeout." and is closed, as real servers
    // drop idle clients; zero (the default) keeps only the server's generous safety limit.
    void SetIdleLimit(std::chrono::milliseconds limit);

    FaultyFtpServer();
    ~FaultyFtpServer();
    FaultyFtpServer(const FaultyFtpServer&) = delete;
    FaultyFtpServer& operator=(const FaultyFtpServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:port", as MIRELO_FTP_HOSTS and a proxy line take it.
    std::string HostAndPort() const;

    // A file at an absolute server path ("/pub/mirelo/formularios.cfg"); its folders exist.
    void AddFile(const std::string& path, std::string bytes);
    void AddFolder(const std::string& path);

    // The fault for `command` ("RETR", "SIZE", "PASV", ...; "" for the greeting) on paths ending
    // in `pathSuffix` ("" for every path): the first `skip` matching commands are served well,
    // the `times` after them get the fault (-1: all). Replaces the fault set before.
    void SetFault(Fault fault, const std::string& command = "", const std::string& pathSuffix = "",
                  int times = -1, int skip = 0);
    // Adds a fault beside those in force, with its own counts. Where several match a command, the
    // first added that still has uses left is played.
    void AddFault(Fault fault, const std::string& command = "", const std::string& pathSuffix = "",
                  int times = -1, int skip = 0);
    void ClearFault() { SetFault(Fault::None); }

    // The data bytes of the file at `path` (absolute, as AddFile took it) handed to the network
    // by every RETR of it so far, cut and repeated tries included. Bytes handed over just before
    // a reset may have been lost in the kernel's buffers: they are counted all the same.
    std::int64_t BytesSent(const std::string& path) const;

    // Every command line received, in order, and how many control connections were accepted.
    std::vector<std::string> Commands() const;
    // How many received commands start with `prefix` ("RETR setup.exe").
    int CountCommands(const std::string& prefix) const;
    int Sessions() const { return sessions_; }

private:
    struct Session;
    struct FaultRule {
        Fault What = Fault::None;
        std::string Command;
        std::string Suffix;
        int Times = -1;
        int Skip = 0;
    };
    using Bytes = std::shared_ptr<const std::string>;

    void Run();
    void Serve(int control);
    bool HandleCommand(Session& session, const std::string& line);
    bool Transfer(Session& session, const std::string& verb, const std::string& argument);
    // Sends `bytes` on the data connection, counting what the network took for `path` ("" for
    // listings); false when the client went away.
    bool SendData(int data, std::string_view bytes, const std::string& path);
    // Holds a stalled transfer until the client gives it up; false when the control connection
    // went away.
    bool HoldStalled(Session& session, int& data);
    std::size_t CutPoint(std::size_t size) const;
    // Sends continuation lines until the client goes away (or a generous limit); ends the session.
    bool PlayEndlessReply(Session& session);
    bool OpenData(Session& session, int& data);
    // The fault for this command and path, counting the use; Fault::None when none applies.
    Fault TakeFault(const std::string& command, const std::string& path);
    std::string Normalize(const std::string& cwd, const std::string& path) const;
    bool IsFolder(const std::string& path) const;
    Bytes Lookup(const std::string& path) const;
    std::vector<std::pair<std::string, std::int64_t>> Listing(const std::string& folder) const;

    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> sessions_{0};
    std::thread thread_;

    mutable std::mutex mutex_;
    std::map<std::string, Bytes> files_;
    std::vector<std::string> folders_;
    std::vector<FaultRule> faults_;
    std::int64_t cutAfter_ = -1;
    std::chrono::milliseconds idleLimit_{0};
    std::map<std::string, std::int64_t> sent_;
    std::vector<std::string> commands_;
};
