#include "ftp/FtpLocalFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

bool TFtpLocalFile::Create(const std::string& name) {
    return Open(name, O_WRONLY | O_CREAT | O_TRUNC, 0);
}

bool TFtpLocalFile::OpenForWriteAt(const std::string& name, std::int64_t offset) {
    return Open(name, O_WRONLY, offset);
}

bool TFtpLocalFile::OpenForRead(const std::string& name, std::int64_t offset) {
    return Open(name, O_RDONLY, offset);
}

bool TFtpLocalFile::Open(const std::string& name, int flags, std::int64_t offset) {
    Close();
    fd_ = ::open(name.c_str(), flags | O_CLOEXEC, 0644);
    owned_ = fd_ >= 0;
    if (IsOpen() && offset > 0 &&
        ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        const int error = errno;
        Close();
        errno = error;
    }
    return IsOpen();
}

void TFtpLocalFile::Borrow(int fd) {
    Close();
    fd_ = fd;
    owned_ = false;
}

namespace {

// A borrowed pipe may have been made non-blocking by the program at its other end, which
// shares the flag: its "not now" is waited out as a blocking descriptor would wait, not failed.
bool WaitedForReadiness(int fd, short events) {
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    pollfd ready{fd, events, 0};
    while (::poll(&ready, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

// The pipe's bytes go into the file in steps of the size other writers use. A larger write makes
// the page cache take larger blocks of memory at once, which on virtual machines that hand free
// memory back to their host are slow to touch the first time: a 1 GiB file took from 0.3 to 2.4 s.
constexpr std::size_t kPipeWriteStep = 64 * 1024;

}  // namespace

bool TFtpLocalFile::Write(const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd_, data, length);
        if (written < 0) {
            if (errno == EINTR || WaitedForReadiness(fd_, POLLOUT))
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

long TFtpLocalFile::Read(char* data, std::size_t length) {
    for (;;) {
        ssize_t count = ::read(fd_, data, length);
        if (count < 0 && (errno == EINTR || WaitedForReadiness(fd_, POLLIN)))
            continue;
        return static_cast<long>(count);
    }
}

bool TFtpLocalFile::TakesFromPipe() {
    if (!takesFromPipe_) {
        struct stat info {};
        const int flags = ::fcntl(fd_, F_GETFL);
        takesFromPipe_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
                         (flags & O_APPEND) == 0;
    }
    return *takesFromPipe_;
}

bool TFtpLocalFile::WriteFromPipe(int pipeFd, std::size_t length) {
    while (length > 0) {
        ssize_t moved = ::splice(pipeFd, nullptr, fd_, nullptr, std::min(length, kPipeWriteStep),
                                 SPLICE_F_MOVE);
        if (moved > 0)
            length -= static_cast<std::size_t>(moved);
        else if (moved == 0 || errno != EINTR)
            return false;
    }
    return true;
}

void TFtpLocalFile::Close() {
    if (fd_ >= 0 && owned_)
        ::close(fd_);
    fd_ = -1;
    owned_ = false;
    takesFromPipe_.reset();
}

namespace {

// A pipe as large as an unprivileged process may make one (fs.pipe-max-size, 1 MiB unless the
// system is set otherwise): each move then takes what a fast stream holds at once.
constexpr int kKernelPipeSize = 1 << 20;

}  // namespace

bool TFtpKernelPipe::Ready() {
    if (fds_[0] >= 0)
        return true;
    if (::pipe2(fds_, O_CLOEXEC) != 0) {
        fds_[0] = fds_[1] = -1;
        return false;
    }
    ::fcntl(fds_[1], F_SETPIPE_SZ, kKernelPipeSize);
    capacity_ = ::fcntl(fds_[1], F_GETPIPE_SZ);
    if (capacity_ <= 0) {
        Drop();
        return false;
    }
    return true;
}

void TFtpKernelPipe::Drop() {
    for (int& fd : fds_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    capacity_ = 0;
}

std::int64_t TFtpLocalFile::SizeOf(const std::string& name) {
    struct stat info {};
    if (name.empty() || ::stat(name.c_str(), &info) != 0)
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}
