// The local file of one FTP transfer: an open descriptor that the FTP client owns (or borrows,
// for a caller's stream) for as long as the transfer needs it. Reads and writes go straight to
// the descriptor, so a transfer adds no copy and no allocation per block. Loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class TFtpLocalFile {
public:
    TFtpLocalFile() = default;
    ~TFtpLocalFile() { Close(); }
    TFtpLocalFile(const TFtpLocalFile&) = delete;
    TFtpLocalFile& operator=(const TFtpLocalFile&) = delete;

    // Each returns false and leaves the object closed on failure; errno tells why.
    // Creates the file, or empties an existing one, for writing from its start.
    bool Create(const std::string& name);
    // Opens an existing file for writing, positioned at `offset`, keeping what is there.
    bool OpenForWriteAt(const std::string& name, std::int64_t offset);
    // Opens an existing file for reading, positioned at `offset`.
    bool OpenForRead(const std::string& name, std::int64_t offset);
    // Uses a descriptor the caller keeps open and closes itself; Close only lets go of it.
    void Borrow(int fd);

    bool IsOpen() const { return fd_ >= 0; }
    // Writes all bytes, retrying short writes; false on failure.
    bool Write(const char* data, std::size_t length);
    // Whether the file can take bytes straight from a pipe: a regular file not in append mode
    // (the kernel splices into no other). Asked once per opening.
    bool TakesFromPipe();
    // Writes the `length` bytes waiting in the pipe `pipeFd` (only when TakesFromPipe); false on
    // failure, with bytes perhaps left in the pipe.
    bool WriteFromPipe(int pipeFd, std::size_t length);
    // Reads up to `length` bytes: the count, 0 at the end, -1 on failure.
    long Read(char* data, std::size_t length);
    void Close();

    // The size of the named file, or -1 when it does not exist.
    static std::int64_t SizeOf(const std::string& name);

private:
    bool Open(const std::string& name, int flags, std::int64_t offset);

    int fd_ = -1;
    bool owned_ = false;
    std::optional<bool> takesFromPipe_;  // TakesFromPipe's answer for this opening
};

// The kernel pipe through which a retrieval moves its bytes from the data socket into the local
// file, so that they are never copied through the process. Made on first use, as large as the
// system allows; Drop empties it by closing it (Ready makes it again).
class TFtpKernelPipe {
public:
    TFtpKernelPipe() = default;
    ~TFtpKernelPipe() { Drop(); }
    TFtpKernelPipe(const TFtpKernelPipe&) = delete;
    TFtpKernelPipe& operator=(const TFtpKernelPipe&) = delete;

    // False when the system gives no pipe (out of descriptors): the copy through the process
    // then does the work.
    bool Ready();
    int ReadEnd() const { return fds_[0]; }
    int WriteEnd() const { return fds_[1]; }
    // Bytes it holds at most.
    int Capacity() const { return capacity_; }
    void Drop();

private:
    int fds_[2] = {-1, -1};
    int capacity_ = 0;
};
