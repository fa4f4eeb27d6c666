// The layers between TCustomWSocket and TWSocket.
#include <algorithm>
#include <cctype>

#include "net/WSocket.h"
#include "net/WSocketText.h"

TCustomSocksWSocket::TCustomSocksWSocket(platform::EventLoop& loop) : TCustomWSocket(loop) {}

void TCustomSocksWSocket::ResetToDefaults()
{
    TCustomWSocket::ResetToDefaults();
    socksServer_.clear();
    socksServerAssigned_ = false;
    socksPort_.clear();
    socksPortAssigned_ = false;
    socksLevel_ = std::string(1, '5');  // not = "5": g++ 12 warns falsely (-Wrestrict) on it
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value)
{
    if (State() != wsClosed) {
        RaiseSocketError("Can't change socks server if not closed");
        return;
    }
    socksServer_ = wsocket::Trim(value);
    socksServerAssigned_ = !socksServer_.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value)
{
    if (State() != wsClosed) {
        RaiseSocketError("Can't change socks port if not closed");
        return;
    }
    socksPort_ = wsocket::Trim(value);
    socksPortAssigned_ = !socksPort_.empty();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value)
{
    if (State() != wsClosed) {
        RaiseSocketError("Can't change socks level if not closed");
        return;
    }
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    socksLevel_ = value;
    std::transform(socksLevel_.begin(), socksLevel_.end(), socksLevel_.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
}

TCustomLineWSocket::TCustomLineWSocket(platform::EventLoop& loop) : TCustomSocksWSocket(loop) {}

TCustomSyncWSocket::TCustomSyncWSocket(platform::EventLoop& loop) : TCustomLineWSocket(loop) {}

TWSocket::TWSocket(platform::EventLoop& loop) : TCustomSyncWSocket(loop) {}
