// Asynchronous IPv4 name lookups, forward (name to addresses) and reverse (address to name), each
// run on a thread of its own so the loop thread never waits for a name server. A finished
// lookup is announced by sending (message, handle, error << 16) to the notification object the
// resolver was made for, from the loop; its result is then taken with TakeResult. A cancelled
// lookup, or any lookup still running when the resolver is destroyed, is dropped, even when it
// had already finished: its thread ends alone and nothing of it reaches the target. Owns the
// results of its lookups. Loop thread only; the target must outlive the resolver.
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
    // A lookup thread's completion, on the loop thread: passed on unless cancelled meanwhile.
    void Finished(std::uintptr_t handle);

    NotificationObject& target_;
    // What the lookup threads post to; dropping it with the resolver drops their completions.
    NotificationObject inbox_;
    std::map<std::uintptr_t, std::shared_ptr<Job>> jobs_;
    std::uintptr_t nextHandle_ = 1;
};

}  // namespace platform
