#include "FaultyFtpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// The longest any single wait on the client may take before the server gives the session up.
constexpr int kWaitMs = 20000;
// How long an endless reply goes on at most, should the client never give up.
constexpr auto kEndlessLimit = std::chrono::seconds(120);
constexpr std::size_t kLongLineExtra = 64 * 1024;
// How long a server waits for a data connection that is not coming before it answers 425.
constexpr int kLateReplyMs = 5000;
// The most a stalled transfer is held before the server gives it up itself.
constexpr int kStallLimitMs = 120000;
// The block the data connection is fed in, so the count of sent bytes follows the network.
constexpr std::size_t kDataBlock = 64 * 1024;

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int ListenOnLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw std::runtime_error("FaultyFtpServer: socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("FaultyFtpServer: cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Waits until `fd` is ready for `events`; false when the server is stopping or the time is up.
bool WaitReady(int fd, short events, int stopFd, int timeoutMs = kWaitMs) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (fds[1].revents & POLLIN) != 0)
            return false;
        return true;
    }
}

bool SendAll(int fd, std::string_view bytes, int stopFd) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitReady(fd, POLLOUT, stopFd))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Closes with a reset instead of an orderly end: what a crashed server or a broken route gives.
void Reset(int& fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseFd(fd);
}

}  // namespace

struct FaultyFtpServer::Session {
    int Control = -1;
    std::string Pending;  // received bytes not yet cut into lines
    std::string Cwd = "/";
    int PassiveListener = -1;
    bool HasActive = false;
    sockaddr_in Active{};
    bool LateFailure = false;  // the next data command is answered late, with 425
    std::size_t RestOffset = 0;  // REST: where the next RETR starts

    ~Session() {
        CloseFd(Control);
        CloseFd(PassiveListener);
    }

    // One command line without its line end; false when the client closed or went silent.
    bool ReadLine(std::string& line, int stopFd) {
        for (;;) {
            std::size_t end = Pending.find('\n');
            if (end != std::string::npos) {
                line = Pending.substr(0, end);
                Pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            if (!WaitReady(Control, POLLIN, stopFd))
                return false;
            char block[4096];
            ssize_t n = ::recv(Control, block, sizeof block, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return false;
            if (n > 0)
                Pending.append(block, static_cast<std::size_t>(n));
        }
    }
};

FaultyFtpServer::FaultyFtpServer() {
    listener_ = ListenOnLoopback(port_);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        CloseFd(listener_);
        throw std::runtime_error("FaultyFtpServer: pipe2 failed");
    }
    thread_ = std::thread([this] { Run(); });
}

FaultyFtpServer::~FaultyFtpServer() {
    stopping_ = true;
    char stop = 'x';
    (void)!::write(stopPipe_[1], &stop, 1);
    thread_.join();
    CloseFd(listener_);
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
}

std::string FaultyFtpServer::HostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

void FaultyFtpServer::AddFile(const std::string& path, std::string bytes) {
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    std::lock_guard<std::mutex> lock(mutex_);
    files_[Normalize("/", path)] = std::move(shared);
}

void FaultyFtpServer::AddFolder(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    folders_.push_back(Normalize("/", path));
}

void FaultyFtpServer::SetFault(Fault fault, const std::string& command, const std::string& pathSuffix, int times,
                               int skip) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.clear();
    }
    AddFault(fault, command, pathSuffix, times, skip);
}

void FaultyFtpServer::AddFault(Fault fault, const std::string& command, const std::string& pathSuffix, int times,
                               int skip) {
    if (fault == Fault::None)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(FaultRule{fault, command, pathSuffix, times, skip});
}

void FaultyFtpServer::SetCutAfter(std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cutAfter_ = bytes;
}

void FaultyFtpServer::SetIdleLimit(std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    idleLimit_ = limit;
}

std::int64_t FaultyFtpServer::BytesSent(const std::string& path) const {
    const std::string normalized = Normalize("/", path);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sent_.find(normalized);
    return it == sent_.end() ? 0 : it->second;
}

std::size_t FaultyFtpServer::CutPoint(std::size_t size) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cutAfter_ < 0 ? size / 2 : std::min(size, static_cast<std::size_t>(cutAfter_));
}

std::vector<std::string> FaultyFtpServer::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

int FaultyFtpServer::CountCommands(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const std::string& command : commands_)
        count += command.compare(0, prefix.size(), prefix) == 0;
    return count;
}

FaultyFtpServer::Fault FaultyFtpServer::TakeFault(const std::string& command, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    Fault played = Fault::None;
    // Every matching rule counts the command, so each keeps its own skip and times.
    for (FaultRule& rule : faults_) {
        if (rule.Times == 0 || command != rule.Command)
            continue;
        if (!rule.Suffix.empty() && (path.size() < rule.Suffix.size() ||
                                     path.compare(path.size() - rule.Suffix.size(), rule.Suffix.size(), rule.Suffix) != 0))
            continue;
        if (rule.Skip > 0) {
            --rule.Skip;
            continue;
        }
        if (played != Fault::None)
            continue;
        if (rule.Times > 0)
            --rule.Times;
        played = rule.What;
    }
    return played;
}

std::string FaultyFtpServer::Normalize(const std::string& cwd, const std::string& path) const {
    std::vector<std::string> parts;
    std::string whole = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
    std::size_t pos = 0;
    while (pos <= whole.size()) {
        std::size_t slash = whole.find('/', pos);
        if (slash == std::string::npos)
            slash = whole.size();
        std::string part = whole.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string normalized;
    for (const std::string& part : parts)
        normalized += "/" + part;
    return normalized.empty() ? "/" : normalized;
}

bool FaultyFtpServer::IsFolder(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == "/")
        return true;
    for (const std::string& folder : folders_)
        if (folder == path || folder.compare(0, path.size() + 1, path + "/") == 0)
            return true;
    auto it = files_.lower_bound(path + "/");
    return it != files_.end() && it->first.compare(0, path.size() + 1, path + "/") == 0;
}

FaultyFtpServer::Bytes FaultyFtpServer::Lookup(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(path);
    return it == files_.end() ? nullptr : it->second;
}

std::vector<std::pair<std::string, std::int64_t>> FaultyFtpServer::Listing(const std::string& folder) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<std::string, std::int64_t>> entries;
    const std::string prefix = folder == "/" ? "/" : folder + "/";
    for (const auto& [path, file] : files_) {
        if (path.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string rest = path.substr(prefix.size());
        std::size_t slash = rest.find('/');
        if (slash != std::string::npos) {
            rest.resize(slash);
            if (entries.empty() || entries.back().first != rest)
                entries.emplace_back(rest, -1);
        } else {
            entries.emplace_back(rest, static_cast<std::int64_t>(file->size()));
        }
    }
    return entries;
}

void FaultyFtpServer::Run() {
    while (!stopping_) {
        if (!WaitReady(listener_, POLLIN, stopPipe_[0], 1000))
            continue;
        int control = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (control < 0)
            continue;
        ++sessions_;
        Serve(control);
    }
}

void FaultyFtpServer::Serve(int control) {
    Session session;
    session.Control = control;
    const int stop = stopPipe_[0];
    switch (TakeFault("", "")) {
    case Fault::Greeting421:
        SendAll(control, "421 Service not available, closing control connection.\r\n", stop);
        return;
    case Fault::LongReplyLine:
        SendAll(control, "220 Faulty FTP server ready." + std::string(kLongLineExtra, 'x') + "\r\n", stop);
        break;
    case Fault::CloseDuringReply:
        SendAll(control, "220 Faulty FT", stop);
        return;
    case Fault::NoReply:
        // Holds the connection without a word until the client gives up.
        while (WaitReady(control, POLLIN, stop)) {
            char block[512];
            if (::recv(control, block, sizeof block, 0) <= 0)
                return;
        }
        return;
    default:
        SendAll(control, "220 Faulty FTP server ready.\r\n", stop);
    }
    std::chrono::milliseconds idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle = idleLimit_;
    }
    std::string line;
    for (;;) {
        if (idle.count() > 0 && session.Pending.find('\n') == std::string::npos &&
            !WaitReady(control, POLLIN, stop, static_cast<int>(idle.count()))) {
            if (!stopping_)
                SendAll(control, "421 Timeout.\r\n", stop);
            return;
        }
        if (stopping_ || !session.ReadLine(line, stop))
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(line);
        }
        if (!HandleCommand(session, line))
            return;
    }
}

bool FaultyFtpServer::HandleCommand(Session& session, const std::string& line) {
    const int stop = stopPipe_[0];
    // An urgent ABOR comes after the Telnet interrupt and sync bytes; they are not the verb's.
    const std::size_t start = std::min(line.size(), line.find_first_not_of("\xFF\xF4\xF2"));
    const std::size_t space = line.find(' ', start);
    const std::string verb = Upper(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    const std::string path = Normalize(session.Cwd, argument);
    // A transfer answers in several replies; it takes and plays its own faults.
    if (verb == "RETR" || verb == "LIST" || verb == "NLST")
        return Transfer(session, verb, argument);
    const Fault fault = TakeFault(verb, argument.empty() ? std::string() : path);
    if (fault == Fault::NoReply)
        return true;
    if (fault == Fault::EndlessMultiline)
        return PlayEndlessReply(session);
    if (fault == Fault::Reply421) {
        SendAll(session.Control, "421 Service not available, closing control connection.\r\n", stop);
        return false;
    }

    std::string reply;
    bool closeAfter = false;
    if (verb == "USER") {
        reply = "331 Username ok, send password.";
    } else if (verb == "PASS") {
        reply = "230 Login successful.";
    } else if (verb == "SYST") {
        reply = "215 UNIX Type: L8";
    } else if (verb == "TYPE" || verb == "NOOP" || verb == "MODE" || verb == "STRU") {
        reply = "200 Command okay.";
    } else if (verb == "FEAT") {
        reply = "211 No features.";
    } else if (verb == "PWD") {
        reply = "257 \"" + session.Cwd + "\" is the current directory.";
    } else if (verb == "CWD" || verb == "CDUP") {
        const std::string target = verb == "CDUP" ? Normalize(session.Cwd, "..") : path;
        if (IsFolder(target)) {
            session.Cwd = target;
            reply = "250 \"" + target + "\" is the current directory.";
        } else {
            reply = "550 No such directory.";
        }
    } else if (verb == "SIZE") {
        const Bytes bytes = Lookup(path);
        if (!bytes) {
            reply = "550 " + argument + " is not retrievable.";
        } else {
            std::int64_t size = static_cast<std::int64_t>(bytes->size());
            if (fault == Fault::SizeLarger)
                size += 1000;
            else if (fault == Fault::SizeSmaller)
                size /= 2;
            else if (fault == Fault::NegativeSize)
                size = -5;
            reply = "213 " + std::to_string(size);
        }
    } else if (verb == "ABOR") {
        reply = "226 ABOR command successful.";
    } else if (verb == "PASV" && fault == Fault::RefusePasv) {
        reply = "502 Command not implemented.";
    } else if (verb == "PORT" && fault == Fault::RefusePort) {
        reply = "500 Illegal PORT command.";
    } else if (verb == "REST" && fault == Fault::RefuseRest) {
        reply = "502 Command not implemented.";
    } else if (verb == "PASV") {
        CloseFd(session.PassiveListener);
        session.HasActive = false;
        std::uint16_t port = 0;
        if (fault == Fault::PasvGarbage) {
            reply = "227 Entering Passive Mode (garbage).";
        } else {
            session.PassiveListener = ListenOnLoopback(port);
            if (fault == Fault::DataNeverOpens || fault == Fault::LateDataFailure)
                CloseFd(session.PassiveListener);  // the port named below has nobody behind it
            session.LateFailure = fault == Fault::LateDataFailure;
            reply = "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
                    std::to_string(port & 0xFF) + ").";
        }
    } else if (verb == "PORT") {
        unsigned h[6] = {};
        if (std::sscanf(argument.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6 ||
            h[0] != 127 || h[4] > 255 || h[5] > 255) {
            // Only loopback is ever a target.
            reply = "501 Only loopback addresses are accepted.";
        } else {
            CloseFd(session.PassiveListener);
            session.HasActive = true;
            session.Active = sockaddr_in{};
            session.Active.sin_family = AF_INET;
            session.Active.sin_addr.s_addr = htonl(h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3]);
            session.Active.sin_port = htons(static_cast<std::uint16_t>(h[4] << 8 | h[5]));
            reply = "200 PORT command successful.";
        }
    } else if (verb == "REST") {
        session.RestOffset = static_cast<std::size_t>(std::strtoull(argument.c_str(), nullptr, 10));
        reply = "350 Restarting at " + std::to_string(session.RestOffset) + ".";
    } else if (verb == "QUIT") {
        reply = "221 Goodbye.";
        closeAfter = true;
    } else {
        reply = "502 Command not implemented.";
    }

    switch (fault) {
    case Fault::CloseDuringReply:
        SendAll(session.Control, reply.substr(0, reply.size() / 2), stop);
        return false;
    case Fault::CloseAfterReply:
        closeAfter = true;
        break;
    case Fault::LongReplyLine:
        reply += " " + std::string(kLongLineExtra, 'x');
        break;
    default:
        break;
    }
    if (!SendAll(session.Control, reply + "\r\n", stop))
        return false;
    return !closeAfter;
}

bool FaultyFtpServer::PlayEndlessReply(Session& session) {
    const auto limit = std::chrono::steady_clock::now() + kEndlessLimit;
    for (std::uint64_t n = 0; !stopping_ && std::chrono::steady_clock::now() < limit; ++n)
        if (!SendAll(session.Control, "250-continua, linha " + std::to_string(n) + "\r\n", stopPipe_[0]))
            break;
    return false;
}

bool FaultyFtpServer::OpenData(Session& session, int& data) {
    const int stop = stopPipe_[0];
    if (session.PassiveListener >= 0) {
        if (!WaitReady(session.PassiveListener, POLLIN, stop))
            return false;
        data = ::accept4(session.PassiveListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        CloseFd(session.PassiveListener);
        return data >= 0;
    }
    if (!session.HasActive)
        return false;
    data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (data < 0)
        return false;
    if (::connect(data, reinterpret_cast<const sockaddr*>(&session.Active), sizeof session.Active) != 0 &&
        errno != EINPROGRESS) {
        CloseFd(data);
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (!WaitReady(data, POLLOUT, stop) || ::getsockopt(data, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        CloseFd(data);
        return false;
    }
    session.HasActive = false;
    return true;
}

bool FaultyFtpServer::SendData(int data, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const std::string_view block = bytes.substr(0, kDataBlock);
        ssize_t n = ::send(data, block.data(), block.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            if (!path.empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                sent_[path] += n;
            }
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!WaitReady(data, POLLOUT, stopPipe_[0]))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool FaultyFtpServer::HoldStalled(Session& session, int& data) {
    const int stop = stopPipe_[0];
    pollfd fds[3] = {{data, POLLIN, 0}, {session.Control, POLLIN, 0}, {stop, POLLIN, 0}};
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallLimitMs);
    bool controlGone = false;
    while (!stopping_ && std::chrono::steady_clock::now() < limit) {
        int n = ::poll(fds, 3, 1000);
        if (n < 0 && errno != EINTR)
            break;
        if (n <= 0)
            continue;
        if ((fds[2].revents & POLLIN) != 0)
            return false;
        if (fds[1].revents != 0) {
            // The client speaks (ABOR, or anything else): the command is left for the session
            // to read once the transfer has been answered. A close is noticed there too.
            char peek;
            controlGone = ::recv(session.Control, &peek, 1, MSG_PEEK) == 0;
            break;
        }
        if (fds[0].revents != 0) {
            char block[512];
            if (::recv(data, block, sizeof block, 0) <= 0)
                break;  // the client closed the data connection
        }
    }
    CloseFd(data);
    if (controlGone)
        return false;
    return SendAll(session.Control, "426 Connection closed; transfer aborted.\r\n", stop);
}

bool FaultyFtpServer::Transfer(Session& session, const std::string& verb, const std::string& argument) {
    const int stop = stopPipe_[0];
    Bytes file;
    std::string listing;
    std::string_view all;
    std::string counted;  // the file whose sent bytes are counted; none for listings
    if (verb == "RETR") {
        counted = Normalize(session.Cwd, argument);
        file = Lookup(counted);
        if (!file)
            return SendAll(session.Control, "550 " + argument + ": No such file.\r\n", stop);
        all = std::string_view(*file).substr(std::min(session.RestOffset, file->size()));
        session.RestOffset = 0;
    } else {
        const std::string folder = argument.empty() || argument[0] == '-' ? session.Cwd : Normalize(session.Cwd, argument);
        for (const auto& [name, size] : Listing(folder)) {
            if (verb == "NLST")
                listing += name + "\r\n";
            else if (size < 0)
                listing += "drwxr-xr-x   2 ftp      ftp          4096 Jan 01 00:00 " + name + "\r\n";
            else
                listing += "-rw-r--r--   1 ftp      ftp      " + std::to_string(size) + " Jan 01 00:00 " + name + "\r\n";
        }
        all = listing;
    }
    const Fault fault = TakeFault(verb, argument.empty() ? std::string() : Normalize(session.Cwd, argument));
    if (fault == Fault::NoReply)
        return true;
    if (fault == Fault::EndlessMultiline)
        return PlayEndlessReply(session);
    if (fault == Fault::Reply421) {
        SendAll(session.Control, "421 Service not available, closing control connection.\r\n", stop);
        return false;
    }

    if (fault == Fault::DataNeverOpens) {
        CloseFd(session.PassiveListener);
        session.HasActive = false;
        // The client waits for a connection that never comes; the reply says all is well.
        return SendAll(session.Control, "150 Opening data connection.\r\n", stop);
    }
    if (fault == Fault::DataFailsAfter150) {
        CloseFd(session.PassiveListener);
        session.HasActive = false;
        return SendAll(session.Control, "150 Opening data connection.\r\n", stop) &&
               SendAll(session.Control, "425 Can't open data connection.\r\n", stop);
    }
    if (fault == Fault::LateDataFailure || session.LateFailure) {
        // The answer waits for the data connection, which is not coming: until the client
        // speaks again, or a while.
        session.LateFailure = false;
        CloseFd(session.PassiveListener);
        session.HasActive = false;
        WaitReady(session.Control, POLLIN, stop, kLateReplyMs);
        return SendAll(session.Control, "425 Can't open data connection.\r\n", stop);
    }
    int data = -1;
    if (!OpenData(session, data))
        return SendAll(session.Control, "425 Can't open data connection.\r\n", stop);
    // Like the common servers, the size announced is the whole file's, whatever REST skips.
    const std::size_t announced = file ? file->size() : all.size();
    if (!SendAll(session.Control, "150 Opening BINARY mode data connection (" + std::to_string(announced) + " bytes).\r\n", stop)) {
        CloseFd(data);
        return false;
    }
    const std::string_view cut = all.substr(0, CutPoint(all.size()));
    switch (fault) {
    case Fault::CloseDuringTransfer:
        SendData(data, all.substr(0, all.size() / 2), counted);
        CloseFd(session.Control);
        CloseFd(data);
        return false;
    case Fault::ResetDataHalfway:
    case Fault::ResetDataClaimComplete: {
        SendData(data, cut, counted);
        Reset(data);
        const char* reply = fault == Fault::ResetDataHalfway ? "426 Connection closed; transfer aborted.\r\n"
                                                             : "226 Transfer complete.\r\n";
        return SendAll(session.Control, reply, stop);
    }
    case Fault::CutTransfer:
        if (cut.size() >= all.size())
            break;  // nothing would be left to cut: this try is sent whole
        SendData(data, cut, counted);
        CloseFd(data);
        return SendAll(session.Control, "426 Connection closed; transfer aborted.\r\n", stop);
    case Fault::StallTransfer:
        if (!SendData(data, cut, counted)) {
            CloseFd(data);
            return SendAll(session.Control, "426 Connection closed; transfer aborted.\r\n", stop);
        }
        return HoldStalled(session, data);
    case Fault::TruncatedTransfer:
        SendData(data, all.substr(0, all.size() / 2), counted);
        CloseFd(data);
        return SendAll(session.Control, "226 Transfer complete.\r\n", stop);
    case Fault::CloseDuringReply:
        SendData(data, all, counted);
        CloseFd(data);
        SendAll(session.Control, "226 Transfer co", stop);
        return false;
    default:
        break;
    }
    const bool sent = SendData(data, all, counted);
    CloseFd(data);
    if (!sent)
        return SendAll(session.Control, "426 Connection closed; transfer aborted.\r\n", stop);
    std::string reply = "226 Transfer complete.";
    if (fault == Fault::LongReplyLine)
        reply += " " + std::string(kLongLineExtra, 'x');
    if (!SendAll(session.Control, reply + "\r\n", stop))
        return false;
    return fault != Fault::CloseAfterReply;
}
