// The services through which the program meets its user: message boxes, Yes/No questions, the
// folder chooser, opening an address and starting a program. The main window and the download
// run receive one implementation by reference (the Qt one in the program, a scripted one in the
// tests) and never talk to the window system for these themselves. Texts are UTF-8. Owns nothing;
// call only from the user-interface thread.
#pragma once

#include <optional>
#include <string>

namespace platform {

class UserServices {
public:
    enum class Icon { None, Error, Question };

    UserServices() = default;
    UserServices(const UserServices&) = delete;
    UserServices& operator=(const UserServices&) = delete;
    virtual ~UserServices() = default;

    // A modal box with one OK button; returns when the user has closed it.
    virtual void ShowMessage(const std::string& caption, const std::string& text, Icon icon) = 0;

    // A modal box with Yes and No buttons; true for Yes. Closing the box counts as No.
    virtual bool AskYesNo(const std::string& caption, const std::string& text, Icon icon) = 0;

    // The folder chooser, opened at `start` (or the user's home when empty). The chosen folder's
    // path without a trailing "/", or nothing when the user cancelled.
    virtual std::optional<std::string> ChooseFolder(const std::string& caption,
                                                    const std::string& start) = 0;

    // Hands an address (a web address or a "mailto:" one) to the desktop's default handler.
    // False when no handler took it.
    virtual bool OpenAddress(const std::string& address) = 0;

    // Starts a program without waiting for it: ".exe" and ".msi" files through wine, other
    // files directly when they are executable. False when it could not be started.
    virtual bool StartProgram(const std::string& path) = 0;
};

}  // namespace platform
