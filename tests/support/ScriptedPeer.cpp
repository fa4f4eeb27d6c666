#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
int ListenOnLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Sends each Send step as its own segment, so a test can split a reply over two receives.
void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
    listener_ = ListenOnLoopback(controlPort_);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

ScriptedPeer::~ScriptedPeer() {
    if (thread_.joinable()) {
        char stop = 'x';
        (void)!::write(stopPipe_[1], &stop, 1);
        OpenGate(-1);
        thread_.join();
    }
    CloseAll();
    CloseFd(listener_);
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
}

ScriptedPeer& ScriptedPeer::Add(std::string name, std::function<bool(std::string& error)> run) {
    steps_.push_back(Step{std::move(name), std::move(run)});
    return *this;
}

ScriptedPeer& ScriptedPeer::Reply(const std::string& line) { return Send(line + "\r\n"); }

ScriptedPeer& ScriptedPeer::Send(const std::string& bytes) {
    return Add("send \"" + bytes + "\"", [this, bytes](std::string& error) { return SendAll(control_, bytes, error); });
}

ScriptedPeer& ScriptedPeer::Expect(const std::string& command) {
    return Add("expect \"" + command + "\"", [this, command](std::string& error) {
        std::string line;
        if (!ReadLine(line, error))
            return false;
        if (line != command) {
            error = "received \"" + line + "\"";
            return false;
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::ExpectPrefix(const std::string& prefix) {
    return Add("expect \"" + prefix + "...\"", [this, prefix](std::string& error) {
        std::string line;
        if (!ReadLine(line, error))
            return false;
        if (line.compare(0, prefix.size(), prefix) != 0) {
            error = "received \"" + line + "\"";
            return false;
        }
        return true;
    });
}

ScriptedPeer& ScriptedPeer::ExpectClose() {
    return Add("expect the client to close", [this](std::string& error) {
        std::string line;
        if (ReadLine(line, error)) {
            error = "received \"" + line + "\" instead";
            return false;
        }
        if (error.rfind("control connection closed by the client", 0) == 0) {
            error.clear();
            return true;
        }
        return false;
    });
}

ScriptedPeer& ScriptedPeer::CloseControl() {
    return Add("close the control connection", [this](std::string&) {
        CloseFd(control_);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::OpenPassive(const std::string& addressText) {
    return Add("open a passive data port", [this, addressText](std::string& error) {
        CloseFd(dataListener_);
        std::uint16_t port = 0;
        dataListener_ = ListenOnLoopback(port);
        return SendAll(control_,
                       "227 Entering Passive Mode (" + addressText + "," + std::to_string(port >> 8) + "," +
                           std::to_string(port & 0xFF) + ").\r\n",
                       error);
    });
}

ScriptedPeer& ScriptedPeer::AcceptData() {
    return Add("accept the data connection", [this](std::string& error) {
        CloseFd(data_);
        return AcceptOn(dataListener_, data_, error);
    });
}

ScriptedPeer& ScriptedPeer::ConnectData() {
    return Add("connect to the PORT address", [this](std::string& error) {
        CloseFd(data_);
        if (lastPortCommandPort_ == 0) {
            error = "no PORT command was received";
            return false;
        }
        data_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(lastPortCommandPort_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(data_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = std::string("connect: ") + std::strerror(errno);
            return false;
        }
        NoDelay(data_);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::SendData(const std::string& bytes) {
    return Add("send " + std::to_string(bytes.size()) + " data bytes",
               [this, bytes](std::string& error) { return SendAll(data_, bytes, error); });
}

ScriptedPeer& ScriptedPeer::ReceiveDataUntilClose() {
    return Add("receive data until the client closes", [this](std::string& error) {
        char buffer[65536];
        for (;;) {
            if (!WaitReadable(data_, error))
                return false;
            ssize_t count = ::recv(data_, buffer, sizeof buffer, 0);
            if (count == 0)
                return true;
            if (count < 0) {
                error = std::string("recv: ") + std::strerror(errno);
                return false;
            }
            dataReceived_.append(buffer, static_cast<std::size_t>(count));
        }
    });
}

ScriptedPeer& ScriptedPeer::WaitDataClosedByClient() {
    return Add("wait for the client to close the data connection", [this](std::string& error) {
        char buffer[4096];
        for (;;) {
            if (!WaitReadable(data_, error))
                return false;
            ssize_t count = ::recv(data_, buffer, sizeof buffer, 0);
            if (count <= 0)
                return true;  // end of stream or reset: either way the client let go
        }
    });
}

ScriptedPeer& ScriptedPeer::CloseData() {
    return Add("close the data connection", [this](std::string&) {
        CloseFd(data_);
        CloseFd(dataListener_);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::EndDataAndWaitClientClose() {
    return Add("end the data stream and wait for the client to close", [this](std::string& error) {
        if (data_ < 0 || ::shutdown(data_, SHUT_WR) != 0) {
            error = "data connection not open";
            return false;
        }
        char buffer[4096];
        for (;;) {
            if (!WaitReadable(data_, error))
                return false;
            if (::recv(data_, buffer, sizeof buffer, 0) <= 0)
                break;
        }
        CloseFd(data_);
        CloseFd(dataListener_);
        return true;
    });
}

ScriptedPeer& ScriptedPeer::WaitGate(int gate) {
    return Add("wait for gate " + std::to_string(gate), [this, gate](std::string& error) {
        std::unique_lock<std::mutex> lock(gateMutex_);
        bool opened = gateChanged_.wait_for(lock, std::chrono::milliseconds(stepTimeoutMs_), [&] {
            return openGates_.count(gate) > 0 || openGates_.count(-1) > 0;
        });
        if (!opened || openGates_.count(gate) == 0) {
            error = "the test did not open the gate in time";
            return false;
        }
        return true;
    });
}

void ScriptedPeer::OpenGate(int gate) {
    {
        std::lock_guard<std::mutex> lock(gateMutex_);
        openGates_.insert(gate);
    }
    gateChanged_.notify_all();
}

ScriptedPeer& ScriptedPeer::Do(std::function<void(ScriptedPeer&)> step) {
    return Add("custom step", [this, step](std::string&) {
        step(*this);
        return true;
    });
}

void ScriptedPeer::Start() {
    thread_ = std::thread([this] { RunScript(); });
}

bool ScriptedPeer::Finish(std::string& failure) {
    if (thread_.joinable())
        thread_.join();
    CloseAll();
    failure = failure_;
    return failure_.empty();
}

void ScriptedPeer::RunScript() {
    std::string error;
    if (!AcceptOn(listener_, control_, error)) {
        failure_ = "accept the control connection: " + error;
        CloseAll();
        return;
    }
    for (std::size_t i = 0; i < steps_.size(); ++i) {
        error.clear();
        if (!steps_[i].Run(error)) {
            failure_ = "step " + std::to_string(i + 1) + " (" + steps_[i].Name + "): " + error;
            // Let the client see the end at once instead of waiting for its own time-out.
            CloseAll();
            return;
        }
    }
}

bool ScriptedPeer::WaitReadable(int fd, std::string& error) {
    if (fd < 0) {
        error = "connection not open";
        return false;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        int ready = ::poll(fds, 2, stepTimeoutMs_);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            error = "timed out waiting for the client";
            return false;
        }
        if (ready < 0 || fds[1].revents) {
            error = "stopped";
            return false;
        }
        return true;
    }
}

bool ScriptedPeer::SendAll(int fd, const std::string& bytes, std::string& error) {
    if (fd < 0) {
        error = "connection not open";
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            error = std::string("send: ") + std::strerror(errno);
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool ScriptedPeer::ReadLine(std::string& line, std::string& error) {
    for (;;) {
        std::size_t end = controlPending_.find("\r\n");
        if (end != std::string::npos) {
            line = controlPending_.substr(0, end);
            controlPending_.erase(0, end + 2);
            commands_.push_back(line);
            unsigned h1, h2, h3, h4, p1, p2;
            if (std::sscanf(line.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) == 6)
                lastPortCommandPort_ = static_cast<std::uint16_t>(p1 * 256 + p2);
            return true;
        }
        if (!WaitReadable(control_, error))
            return false;
        char buffer[4096];
        ssize_t count = ::recv(control_, buffer, sizeof buffer, 0);
        if (count == 0) {
            error = "control connection closed by the client";
            return false;
        }
        if (count < 0) {
            // A client that closes with linger 0 resets instead of finishing the stream.
            error = errno == ECONNRESET ? "control connection closed by the client (reset)"
                                        : std::string("recv: ") + std::strerror(errno);
            return false;
        }
        controlPending_.append(buffer, static_cast<std::size_t>(count));
    }
}

bool ScriptedPeer::AcceptOn(int& listener, int& into, std::string& error) {
    if (!WaitReadable(listener, error))
        return false;
    into = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (into < 0) {
        error = std::string("accept: ") + std::strerror(errno);
        return false;
    }
    NoDelay(into);
    return true;
}

void ScriptedPeer::CloseAll() {
    CloseFd(control_);
    CloseFd(data_);
    CloseFd(dataListener_);
}
