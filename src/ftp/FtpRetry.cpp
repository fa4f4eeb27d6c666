// The judge of passing failures and the waits between tries.
#include "ftp/FtpRetry.h"

bool FtpFailureIsPassing(int replyCode)
{
    switch (replyCode) {
    case 421:
    case 425:
    case 426:
    case 450:
    case 451:
        return true;
    default:
        return false;
    }
}

int TFtpRetrySchedule::NextWaitMs(bool movedBytes)
{
    if (++failedTries_ >= kMaxTries)
        return -1;
    if (movedBytes) {
        idleTries_ = 0;
        return 0;
    }
    if (idleTries_ >= kMaxIdleTries)
        return -1;
    return 1000 << idleTries_++;
}
