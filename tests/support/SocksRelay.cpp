#include "SocksRelay.h"

#include "FtpServers.h"

#include <chrono>

SocksRelay::SocksRelay() {
    process_ = std::make_unique<ServerProcess>(std::vector<std::string>{
        "/usr/bin/python3", TestSupportDir() + "socks4_relay.py", "--source", kSourceAddress});
    port_ = process_->ReadAnnouncedPort("the SOCKS 4 relay");
}

SocksRelay::~SocksRelay() = default;

const std::vector<std::string>& SocksRelay::WaitForRequests(std::size_t count, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    while (requests_.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !process_->ReadLine(line, static_cast<int>(left.count())))
            break;
        requests_.push_back(line);
    }
    return requests_;
}
