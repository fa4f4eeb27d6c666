// The user services of the tests: records every box, address and program start that the program
// would show, open or start, answers questions from a queue (then with DefaultAnswer) and chooses
// the folder it is given. Owns its records; use from the test's thread.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserServices.h"

class RecordingUserServices : public platform::UserServices {
public:
    struct Box {
        std::string Caption;
        std::string Text;
        Icon BoxIcon = Icon::None;
        bool Question = false;
    };

    std::vector<Box> Boxes;
    std::deque<bool> Answers;
    bool DefaultAnswer = true;
    // Called for every box before it returns, e.g. to close a window from inside a question.
    std::function<void(const Box&)> OnBox;

    std::optional<std::string> Folder;
    std::vector<std::string> FolderCaptions;
    std::vector<std::string> Opened;
    // What OpenAddress answers: false plays a desktop without a browser or mail program.
    bool OpenResult = true;
    std::vector<std::string> Started;

    void ShowMessage(const std::string& caption, const std::string& text, Icon icon) override
    {
        Record({caption, text, icon, false});
    }

    bool AskYesNo(const std::string& caption, const std::string& text, Icon icon) override
    {
        Record({caption, text, icon, true});
        if (Answers.empty())
            return DefaultAnswer;
        const bool answer = Answers.front();
        Answers.pop_front();
        return answer;
    }

    std::optional<std::string> ChooseFolder(const std::string& caption,
                                            const std::string&) override
    {
        FolderCaptions.push_back(caption);
        return Folder;
    }

    bool OpenAddress(const std::string& address) override
    {
        Opened.push_back(address);
        return OpenResult;
    }

    bool StartProgram(const std::string& path) override
    {
        Started.push_back(path);
        return true;
    }

    // The texts of the boxes shown so far, for readable failure output.
    std::string Texts() const
    {
        std::string all;
        for (const Box& box : Boxes)
            all += "[" + box.Caption + "] " + box.Text + "\n";
        return all;
    }

private:
    void Record(const Box& box)
    {
        Boxes.push_back(box);
        if (OnBox)
            OnBox(box);
    }
};
