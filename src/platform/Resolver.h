// Asynchronous IPv4 name lookups, forward (name to addresses) and reverse (address to name), each
// run on a thread of its own so the loop thread never waits for a name server. A finished
// lookup is announced by posting (message, handle, error << 16) to the notification object the
// resolver was made for; its result is then taken with TakeResult. A cancelled lookup, or any
// lookup still running when the resolver is destroyed, is dropped: its thread finishes alone and
// never posts. Owns the results of its lookups. Loop thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/NotificationObject.h"

namespace platform {

class Resolver {
public:
    explicit Resolver(NotificationObject& target);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Start a lookup; return its handle (never 0), or 0 when it cannot start (the socket library
    // error is then in sockets::LastError()).
    std::uintptr_t StartForward(const std::string& host, unsigned message);
    std::uintptr_t StartReverse(std::uint32_t addressNetworkOrder, unsigned message);
    // Drops a running lookup; false when the handle is not a running lookup.
    bool Cancel(std::uintptr_t handle);
    // After the completion message of `handle`: the dotted addresses (forward) or the one name
    // (reverse), empty on error. The lookup is forgotten.
    std::vector<std::string> TakeResult(std::uintptr_t handle);

private:
    struct Job;
    std::uintptr_t Start(std::shared_ptr<Job> job);

    NotificationObject::Target target_;
    std::map<std::uintptr_t, std::shared_ptr<Job>> jobs_;
    std::uintptr_t nextHandle_ = 1;
};

}  // namespace platform
