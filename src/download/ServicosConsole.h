// The user services of the headless mode: boxes become lines on the error stream, every question
// is answered yes (and the answer printed), no folder is chosen, no address is opened, and a
// program is started detached in a session of its own, in its own folder (".exe" and ".msi"
// through wine). Owns
// nothing; the stream must outlive it. One thread.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/UserServices.h"

namespace mirelo_download {

class TServicosConsole : public platform::UserServices {
public:
    explicit TServicosConsole(std::ostream& saida);

    void ShowMessage(const std::string& caption, const std::string& text, Icon icon) override;
    bool AskYesNo(const std::string& caption, const std::string& text, Icon icon) override;
    std::optional<std::string> ChooseFolder(const std::string& caption,
                                            const std::string& start) override;
    bool OpenAddress(const std::string& address) override;
    bool StartProgram(const std::string& path) override;

    // The command line that starts `path` (platform::StartCommand).
    static std::vector<std::string> LinhaDeComando(const std::string& path);

private:
    void Escreve(const std::string& texto);

    std::ostream& Saida;
};

}  // namespace mirelo_download
