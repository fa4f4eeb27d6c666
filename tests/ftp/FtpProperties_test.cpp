// The client's settings that need no connection: share modes, connection types and the SOCKS
// values it hands to both sockets.
#include <gtest/gtest.h>

#include "ftp/Ftpcli.h"
#include "platform/PollEventLoop.h"

class FtpProperties : public testing::Test {
protected:
    platform::PollEventLoop loop;
    TFtpClient ftp{loop};
};

TEST_F(FtpProperties, ShareModesReadBackAndUnknownValuesAreExclusive) {
    for (TFtpShareMode mode : {ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone}) {
        ftp.SetShareMode(mode);
        EXPECT_EQ(ftp.ShareMode(), mode);
    }
    ftp.SetShareMode(static_cast<TFtpShareMode>(42));
    EXPECT_EQ(ftp.ShareMode(), ftpShareExclusive);
}

TEST_F(FtpProperties, ConnectionTypesForcePassiveAndConfigureBothSockets) {
    ftp.SetConnectionType(ftpSocks4A);
    EXPECT_TRUE(ftp.PassiveMode());
    ftp.SetPassiveMode(false);
    EXPECT_TRUE(ftp.PassiveMode());
    for (TWSocket* socket : {&ftp.ControlSocket(), &ftp.DataSocket()}) {
        EXPECT_EQ(socket->SocksLevel(), "4A");
        EXPECT_EQ(socket->SocksAuthentication(), socksAuthenticateUsercode);
    }
    ftp.SetSocksPassword("pw");
    ftp.SetSocksUserCode("me");
    ftp.SetSocksServer("127.0.0.1");
    ftp.SetSocksPort("1080");
    for (TWSocket* socket : {&ftp.ControlSocket(), &ftp.DataSocket()}) {
        EXPECT_EQ(socket->SocksPassword(), "pw");
        EXPECT_EQ(socket->SocksUsercode(), "me");
        EXPECT_EQ(socket->SocksServer(), "127.0.0.1");
        EXPECT_EQ(socket->SocksPort(), "1080");
    }
    EXPECT_EQ(ftp.SocksPassword(), "pw");

    // Back to direct: passive stays until set otherwise, the SOCKS level stays in the sockets.
    ftp.SetConnectionType(ftpDirect);
    EXPECT_TRUE(ftp.PassiveMode());
    EXPECT_EQ(ftp.ControlSocket().SocksLevel(), "4A");
    EXPECT_EQ(ftp.ControlSocket().SocksAuthentication(), socksNoAuthentication);
    ftp.SetPassiveMode(false);
    EXPECT_FALSE(ftp.PassiveMode());

    ftp.SetConnectionType(static_cast<TFtpConnectionType>(9));
    EXPECT_EQ(ftp.ConnectionType(), ftpDirect);
}
