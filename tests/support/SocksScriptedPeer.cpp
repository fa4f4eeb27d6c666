#include "SocksScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

std::string HexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        if (!hex.empty())
            hex.push_back(' ');
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

SocksScriptedPeer::SocksScriptedPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

SocksScriptedPeer::~SocksScriptedPeer() {
    if (thread_.joinable()) {
        char stop = 'x';
        (void)!::write(stopPipe_[1], &stop, 1);
        {
            std::lock_guard<std::mutex> lock(gateMutex_);
            stopping_ = true;
        }
        gateChanged_.notify_all();
        thread_.join();
    }
    CloseFd(connection_);
    CloseFd(listener_);
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
}

SocksScriptedPeer& SocksScriptedPeer::Add(std::string name, std::function<bool(std::string& error)> run) {
    steps_.push_back(Step{std::move(name), std::move(run)});
    return *this;
}

SocksScriptedPeer& SocksScriptedPeer::Expect(const std::string& bytes) {
    return Add("expect " + HexBytes(bytes), [this, bytes](std::string& error) {
        if (!EnsureConnection(error))
            return false;
        std::string got;
        while (got.size() < bytes.size()) {
            if (!WaitReadable(connection_, error))
                return false;
            char buffer[512];
            std::size_t want = std::min(sizeof buffer, bytes.size() - got.size());
            ssize_t count = ::recv(connection_, buffer, want, 0);
            if (count <= 0) {
                error = "the client closed after " + HexBytes(got);
                received_ += got;
                return false;
            }
            got.append(buffer, static_cast<std::size_t>(count));
        }
        received_ += got;
        if (got != bytes) {
            error = "received " + HexBytes(got);
            return false;
        }
        return true;
    });
}

SocksScriptedPeer& SocksScriptedPeer::Send(const std::string& bytes) {
    return Add("send " + HexBytes(bytes), [this, bytes](std::string& error) {
        return EnsureConnection(error) && SendAll(bytes, error);
    });
}

SocksScriptedPeer& SocksScriptedPeer::SendOneByOne(const std::string& bytes, int firstGate) {
    return Add("send one by one " + HexBytes(bytes), [this, bytes, firstGate](std::string& error) {
        if (!EnsureConnection(error))
            return false;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (!WaitForGate(firstGate + static_cast<int>(i), error) || !SendAll(bytes.substr(i, 1), error))
                return false;
        }
        return true;
    });
}

SocksScriptedPeer& SocksScriptedPeer::ExpectClose() {
    return Add("expect the client to close", [this](std::string& error) {
        if (!EnsureConnection(error))
            return false;
        for (;;) {
            if (!WaitReadable(connection_, error))
                return false;
            char buffer[512];
            ssize_t count = ::recv(connection_, buffer, sizeof buffer, 0);
            if (count == 0 || (count < 0 && errno == ECONNRESET))
                return true;
            if (count < 0) {
                error = std::string("recv: ") + std::strerror(errno);
                return false;
            }
            received_.append(buffer, static_cast<std::size_t>(count));
        }
    });
}

SocksScriptedPeer& SocksScriptedPeer::Close() {
    return Add("close", [this](std::string&) {
        CloseFd(connection_);
        return true;
    });
}

SocksScriptedPeer& SocksScriptedPeer::WaitGate(int gate) {
    return Add("wait for gate " + std::to_string(gate), [this, gate](std::string& error) { return WaitForGate(gate, error); });
}

void SocksScriptedPeer::OpenGate(int gate) {
    {
        std::lock_guard<std::mutex> lock(gateMutex_);
        openGates_.insert(gate);
    }
    gateChanged_.notify_all();
}

void SocksScriptedPeer::Start() { thread_ = std::thread([this] { RunScript(); }); }

bool SocksScriptedPeer::Finish(std::string& failure) {
    if (thread_.joinable())
        thread_.join();
    failure = failure_;
    return failure_.empty();
}

void SocksScriptedPeer::RunScript() {
    for (const Step& step : steps_) {
        std::string error;
        if (!step.Run(error)) {
            failure_ = step.Name + ": " + error;
            break;
        }
    }
    CloseFd(connection_);
}

bool SocksScriptedPeer::EnsureConnection(std::string& error) {
    if (connection_ >= 0)
        return true;
    if (!WaitReadable(listener_, error))
        return false;
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection_ < 0) {
        error = std::string("accept: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool SocksScriptedPeer::WaitReadable(int fd, std::string& error) {
    if (fd < 0) {
        error = "no connection";
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
        if (ready < 0 || (fds[1].revents & POLLIN)) {
            error = "stopped";
            return false;
        }
        return true;
    }
}

bool SocksScriptedPeer::SendAll(const std::string& bytes, std::string& error) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t count = ::send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            error = std::string("send: ") + std::strerror(errno);
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool SocksScriptedPeer::WaitForGate(int gate, std::string& error) {
    std::unique_lock<std::mutex> lock(gateMutex_);
    bool open = gateChanged_.wait_for(lock, std::chrono::milliseconds(stepTimeoutMs_),
                                      [&] { return stopping_ || openGates_.count(gate) > 0; });
    if (!open || stopping_) {
        error = stopping_ ? "stopped" : "gate " + std::to_string(gate) + " was not opened";
        return false;
    }
    return true;
}
