// How a failed transfer is judged for another try, and how long to wait before it. Shared by the
// download run and the command-line tool, so both retry the same way. Plain values, no I/O.
#pragma once

#include <cstdint>

// True for the reply codes of a failure that may pass: the server is busy or closing (421), the
// data connection could not be opened or was cut (425, 426), the file is busy or the server hit a
// local error (450, 451). The component also ends with 426 when the data connection is reset,
// stalls past the stall limit or ends short, and with 425 when it cannot be made. Every other
// code (550 and the rest of 5xx among them) is permanent.
bool FtpFailureIsPassing(int replyCode);

// The tries of one file. A try that moved bytes earns an immediate new try; tries in a row that
// moved nothing wait 1, 2, 4, 8 and 16 s, and the one after the last of them gives up. However
// the tries go, a file gets kMaxTries of them at most, so a server that cuts every transfer a
// little further on is given up in bounded time rather than followed byte by byte.
class TFtpRetrySchedule {
public:
    static constexpr int kMaxIdleTries = 5;
    static constexpr int kMaxTries = 20;

    // Called after a failed try that may pass. Returns the milliseconds to wait before the next
    // try (0: at once), or -1 when the tries are spent.
    int NextWaitMs(bool movedBytes);
    // The failed tries in a row that moved nothing, from 0 to kMaxIdleTries.
    int IdleTries() const { return idleTries_; }

private:
    int idleTries_ = 0;
    int failedTries_ = 0;
};
