// The proxy settings file "proxy.ini": three CR LF lines (switch "S"/other, proxy host, proxy
// port) in the working directory. Reading, creating and writing it, and SetProxy's decision of
// how the session reaches the server: through an FTP proxy that takes the target host in the user
// name, or directly. File failures raise EInOutError; any thread.
#pragma once

#include <string>
#include <string_view>

namespace catalogue {

inline constexpr char kProxyIni[] = "proxy.ini";

// The file's three lines; as main-window state, the values before the file is read.
struct ConfiguracaoProxy {
    std::string UsaProxy = "N";  // the proxy is used only when this is exactly "S"
    std::string ProxyServidor;
    std::string ProxyPorta;  // written, read back and shown; the connection keeps the FTP port
    bool operator==(const ConfiguracaoProxy&) const = default;
};

// What start-up writes when the file is missing.
ConfiguracaoProxy ProxyIniPadrao();

// The three lines of the file's text; missing lines read as empty.
ConfiguracaoProxy InterpretaProxyIni(std::string_view texto);

// Creates or rewrites the file with the three lines.
void GravaProxyIni(const std::string& caminho, const ConfiguracaoProxy& configuracao);

// The connection settings that SetProxy may change before they go into the FTP client.
struct SessaoFtp {
    std::string HostName;
    std::string UserName;
    std::string PassWord;
    bool PassiveMode = false;
};

// SetProxy's decision. With UsaProxy exactly "S" the session goes to the proxy host, as user
// "anonymous@" + the first built-in server's host, with the built-in anonymous password and
// passive data connections; otherwise nothing changes.
void AplicaProxy(const ConfiguracaoProxy& configuracao, SessaoFtp& sessao,
                 std::string_view primeiroServidor, std::string_view senhaAnonima);

// SetProxy at the main window's creation: reads the file, or creates it with ProxyIniPadrao()
// and keeps the start values (UsaProxy "N", the rest empty), then applies the decision. Returns
// the state it leaves. When the file can be neither read nor created, EInOutError is raised and
// the session is left as it was: the connection goes direct.
ConfiguracaoProxy SetProxy(SessaoFtp& sessao, std::string_view primeiroServidor,
                           std::string_view senhaAnonima,
                           const std::string& caminho = kProxyIni);

// What the proxy dialog shows at its creation: the file's lines, or, when it is missing, "N" and
// two empty lines, which it then writes.
ConfiguracaoProxy LeProxyDoDialogo(const std::string& caminho = kProxyIni);

}  // namespace catalogue
