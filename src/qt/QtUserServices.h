// The user services of the desktop program, built on Qt: QMessageBox with the program's captions,
// icons and buttons, QFileDialog for folders, QDesktopServices for addresses and a detached
// QProcess for programs. Owns nothing; boxes are parented to the active window. Call only from
// the GUI thread.
#pragma once

#include <QString>

#include "platform/UserServices.h"

namespace mirelo_qt {

class QtUserServices : public platform::UserServices {
public:
    void ShowMessage(const std::string& caption, const std::string& text, Icon icon) override;
    bool AskYesNo(const std::string& caption, const std::string& text, Icon icon) override;
    std::optional<std::string> ChooseFolder(const std::string& caption,
                                            const std::string& start) override;
    bool OpenAddress(const std::string& address) override;
    bool StartProgram(const std::string& path) override;

    // The program's message texts separate their lines with "\r"; a box shows them as lines.
    static QString BoxText(const std::string& text);
};

}  // namespace mirelo_qt
