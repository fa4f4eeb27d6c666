// The socket library's error numbers and texts.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/SocketErrors.h"

using namespace platform;

TEST(SocketErrors, ErrnoValuesBecomeTheSocketLibraryNumbers)
{
    EXPECT_EQ(ErrnoToWinsock(EWOULDBLOCK), 10035);
    EXPECT_EQ(ErrnoToWinsock(EAGAIN), 10035);
    EXPECT_EQ(ErrnoToWinsock(EINPROGRESS), 10036);
    EXPECT_EQ(ErrnoToWinsock(ECONNRESET), 10054);
    EXPECT_EQ(ErrnoToWinsock(EPIPE), 10054);
    EXPECT_EQ(ErrnoToWinsock(ENOTCONN), 10057);
    EXPECT_EQ(ErrnoToWinsock(ETIMEDOUT), 10060);
    EXPECT_EQ(ErrnoToWinsock(ECONNREFUSED), 10061);
    EXPECT_EQ(ErrnoToWinsock(EHOSTUNREACH), 10065);
    EXPECT_EQ(ErrnoToWinsock(EADDRINUSE), 10048);
    EXPECT_EQ(ErrnoToWinsock(EINVAL), 10022);
    EXPECT_EQ(ErrnoToWinsock(0), 0);
}

TEST(SocketErrors, ResolverErrorsBecomeTheHostErrors)
{
    EXPECT_EQ(ResolverErrorToWinsock(EAI_NONAME, 0), 11001);
    EXPECT_EQ(ResolverErrorToWinsock(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(ResolverErrorToWinsock(EAI_FAIL, 0), 11003);
    EXPECT_EQ(ResolverErrorToWinsock(EAI_NODATA, 0), 11004);
    EXPECT_EQ(ResolverErrorToWinsock(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(SocketErrors, EveryNumberMappedHasItsOwnText)
{
    EXPECT_EQ(SocketErrorDescription(0), "No Error");
    EXPECT_EQ(SocketErrorDescription(10061), "Connection refused");
    EXPECT_EQ(SocketErrorDescription(10035), "Operation would block");
    EXPECT_EQ(SocketErrorDescription(11001), "Host not found");
    EXPECT_EQ(SocketErrorDescription(11004), "No Data");
    EXPECT_EQ(SocketErrorDescription(10093), "WinSock not initialized");
    EXPECT_EQ(SocketErrorDescription(12345), "Not a WinSock error");
    // Whatever errno the mapping gives for a socket error must be in the table.
    for (int e : {EINTR, EBADF, EACCES, EFAULT, EINVAL, EMFILE, EWOULDBLOCK, EINPROGRESS, EALREADY,
                  ENOTSOCK, EDESTADDRREQ, EMSGSIZE, EPROTOTYPE, ENOPROTOOPT, EPROTONOSUPPORT,
                  ESOCKTNOSUPPORT, EOPNOTSUPP, EPFNOSUPPORT, EAFNOSUPPORT, EADDRINUSE, EADDRNOTAVAIL,
                  ENETDOWN, ENETUNREACH, ENETRESET, ECONNABORTED, ECONNRESET, ENOBUFS, EISCONN,
                  ENOTCONN, ESHUTDOWN, ETOOMANYREFS, ETIMEDOUT, ECONNREFUSED, ELOOP, ENAMETOOLONG,
                  EHOSTDOWN, EHOSTUNREACH, ENOTEMPTY, EUSERS, EDQUOT, ESTALE, EREMOTE})
        EXPECT_NE(SocketErrorDescription(ErrnoToWinsock(e)), "Not a WinSock error") << "errno " << e;
}
