// The stand-in for a component's hidden notification window: messages (number, wParam, lParam)
// posted to it travel through the event loop and reach its owner's dispatcher later, on the loop
// thread. Owns only the link to the dispatcher; the loop must outlive it. Post() may be called
// from any thread; a message that arrives after the object has been destroyed is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/EventLoop.h"

namespace platform {

class NotificationObject {
public:
    using Dispatcher =
        std::function<void(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;

    // A copyable handle that posts to the object from any thread, also from a thread that
    // outlives it: once the object is destroyed, posting through the handle does nothing and
    // never touches the loop again.
    class Target {
    public:
        Target() = default;
        // Returns false when the object is gone.
        bool Post(unsigned message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0) const;

        struct Core;  // opaque: shared by the object, its posted messages and its Targets

    private:
        friend class NotificationObject;
        explicit Target(std::shared_ptr<Core> core) : core_(std::move(core)) {}
        std::shared_ptr<Core> core_;
    };

    NotificationObject(EventLoop& loop, Dispatcher dispatcher);
    ~NotificationObject();
    NotificationObject(const NotificationObject&) = delete;
    NotificationObject& operator=(const NotificationObject&) = delete;

    // Queues the message; the dispatcher gets it later on the loop thread, after the current
    // handler has returned. Safe from any thread.
    void Post(unsigned message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Hands the message to the dispatcher now, on the calling (loop) thread.
    void Send(unsigned message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

    Target MakeTarget() const { return Target(core_); }
    EventLoop& Loop() const { return loop_; }

private:
    EventLoop& loop_;
    std::shared_ptr<Target::Core> core_;
};

}  // namespace platform
