#include "platform/NotificationObject.h"

namespace platform {

// Shared between the object, its posted messages and the Targets handed out. The loop pointer is
// what other threads reach the loop through; it is cleared under the mutex when the object goes,
// so no thread posts to the loop after that. The dispatcher itself is only read on the loop
// thread, and stays in place while a message is being dispatched even if the handler destroys
// the object.
struct NotificationObject::Target::Core {
    std::mutex Mutex;
    EventLoop* Loop;
    bool Alive = true;
    Dispatcher Dispatch;

    Core(EventLoop* loop, Dispatcher dispatch) : Loop(loop), Dispatch(std::move(dispatch)) {}
};

namespace {

void PostThrough(const std::shared_ptr<NotificationObject::Target::Core>& core, unsigned message,
                 std::uintptr_t wParam, std::intptr_t lParam, bool& posted)
{
    std::weak_ptr weak = core;
    std::lock_guard lock(core->Mutex);
    posted = core->Loop != nullptr;
    if (!posted)
        return;
    core->Loop->Post([weak = std::move(weak), message, wParam, lParam] {
        auto c = weak.lock();
        if (c && c->Alive)
            c->Dispatch(message, wParam, lParam);
    });
}

}  // namespace

bool NotificationObject::Target::Post(unsigned message, std::uintptr_t wParam,
                                      std::intptr_t lParam) const
{
    if (!core_)
        return false;
    bool posted = false;
    PostThrough(core_, message, wParam, lParam, posted);
    return posted;
}

NotificationObject::NotificationObject(EventLoop& loop, Dispatcher dispatcher)
    : loop_(loop), core_(std::make_shared<Target::Core>(&loop, std::move(dispatcher)))
{
}

NotificationObject::~NotificationObject()
{
    std::lock_guard lock(core_->Mutex);
    core_->Loop = nullptr;
    core_->Alive = false;
}

void NotificationObject::Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    bool posted = false;
    PostThrough(core_, message, wParam, lParam, posted);
}

void NotificationObject::Send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    // Held for the call: the handler may destroy this object.
    std::shared_ptr<Target::Core> core = core_;
    core->Dispatch(message, wParam, lParam);
}

}  // namespace platform
