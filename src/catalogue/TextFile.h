// The program's own small text files ("proxy.ini", the mirror list, the rule files): reading one
// whole, splitting it into lines, and writing one line by line with CR LF ends. Descriptors are
// opened close-on-exec, so a started installer inherits none. Failures raise EInOutError with a
// Portuguese message that names the file, ready for the user's error report. Any thread; a
// TextFileWriter belongs to one thread at a time.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace catalogue {

class EInOutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether anything exists at `path`.
bool FileExists(const std::string& path);

// The whole file as bytes. Throws EInOutError when it is missing or cannot be read.
std::string ReadTextFile(const std::string& path);

// The lines of a text: each ends at LF, and CR bytes at its end belong to the line end, so CR LF
// and LF files read alike. A last line without LF counts; the empty text has no lines.
std::vector<std::string> SplitLines(std::string_view text);

class TextFileWriter {
public:
    // Creates the file, or empties it when it exists. Throws EInOutError.
    explicit TextFileWriter(std::string path);
    ~TextFileWriter();
    TextFileWriter(TextFileWriter&& other) noexcept;
    TextFileWriter& operator=(TextFileWriter&& other) noexcept;
    TextFileWriter(const TextFileWriter&) = delete;
    TextFileWriter& operator=(const TextFileWriter&) = delete;

    // Writes `line` and CR LF straight to the file. Throws EInOutError on a failed write and
    // std::logic_error after Close().
    void WriteLine(std::string_view line);
    // Closing twice is harmless.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace catalogue
