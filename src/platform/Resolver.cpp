#include "platform/Resolver.h"

#include <mutex>
#include <system_error>
#include <thread>

#include "platform/SocketErrors.h"
#include "platform/SocketOps.h"

namespace platform {

struct Resolver::Job {
    bool Reverse = false;
    std::string Host;
    std::uint32_t Address = 0;
    unsigned Message = 0;
    std::uintptr_t Handle = 0;
    NotificationObject::Target Inbox;

    // Written by the lookup thread before it posts, read on the loop thread after the message.
    std::mutex Mutex;
    bool Cancelled = false;
    std::vector<std::string> Result;
    unsigned Error = 0;
};

Resolver::Resolver(NotificationObject& target)
    : target_(target),
      inbox_(target.Loop(), [this](unsigned, std::uintptr_t handle, std::intptr_t) { Finished(handle); })
{
}

Resolver::~Resolver()
{
    for (auto& [handle, job] : jobs_) {
        std::lock_guard lock(job->Mutex);
        job->Cancelled = true;
    }
}

std::uintptr_t Resolver::StartForward(const std::string& host, unsigned message)
{
    auto job = std::make_shared<Job>();
    job->Host = host;
    job->Message = message;
    return Start(std::move(job));
}

std::uintptr_t Resolver::StartReverse(std::uint32_t addressNetworkOrder, unsigned message)
{
    auto job = std::make_shared<Job>();
    job->Reverse = true;
    job->Address = addressNetworkOrder;
    job->Message = message;
    return Start(std::move(job));
}

std::uintptr_t Resolver::Start(std::shared_ptr<Job> job)
{
    job->Handle = nextHandle_++;
    job->Inbox = inbox_.MakeTarget();
    try {
        // Detached: a lookup may take as long as the name server likes, and neither a cancel nor
        // the destruction of the socket may wait for it. The thread owns its share of the job
        // and touches nothing else once the job is cancelled.
        std::thread([job] {
            std::vector<std::string> result;
            int error = 0;
            if (job->Reverse) {
                std::string name = sockets::HostName(job->Address);
                if (name.empty())
                    error = sockets::LastError();
                else
                    result.push_back(std::move(name));
            } else {
                for (std::uint32_t a : sockets::HostAddresses(job->Host))
                    result.push_back(sockets::FormatAddress(a));
                if (result.empty())
                    error = sockets::LastError();
            }
            std::lock_guard lock(job->Mutex);
            if (job->Cancelled)
                return;
            job->Result = std::move(result);
            job->Error = static_cast<unsigned>(error) & 0xFFFF;
            job->Inbox.Post(0, job->Handle);
        }).detach();
    } catch (const std::system_error&) {
        sockets::SetLastError(WSAENOBUFS);
        return 0;
    }
    jobs_.emplace(job->Handle, job);
    return job->Handle;
}

void Resolver::Finished(std::uintptr_t handle)
{
    auto it = jobs_.find(handle);
    if (it == jobs_.end())
        return;  // cancelled after the thread had posted
    unsigned message = 0;
    unsigned error = 0;
    {
        std::lock_guard lock(it->second->Mutex);
        message = it->second->Message;
        error = it->second->Error;
    }
    target_.Send(message, handle, static_cast<std::intptr_t>(error << 16));
}

bool Resolver::Cancel(std::uintptr_t handle)
{
    auto it = jobs_.find(handle);
    if (it == jobs_.end()) {
        sockets::SetLastError(WSAEINVAL);
        return false;
    }
    {
        std::lock_guard lock(it->second->Mutex);
        it->second->Cancelled = true;
    }
    jobs_.erase(it);
    return true;
}

std::vector<std::string> Resolver::TakeResult(std::uintptr_t handle)
{
    auto it = jobs_.find(handle);
    if (it == jobs_.end())
        return {};
    std::vector<std::string> result;
    {
        std::lock_guard lock(it->second->Mutex);
        result = std::move(it->second->Result);
    }
    jobs_.erase(it);
    return result;
}

}  // namespace platform
