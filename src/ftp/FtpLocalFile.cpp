#include "ftp/FtpLocalFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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

void TFtpLocalFile::Close() {
    if (fd_ >= 0 && owned_)
        ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

std::int64_t TFtpLocalFile::SizeOf(const std::string& name) {
    struct stat info {};
    if (name.empty() || ::stat(name.c_str(), &info) != 0)
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}
