#include "catalogue/TextFile.h"

#include "platform/TextBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace catalogue {

namespace {

// The user reads these, so they are in Portuguese like every other message of the program.
std::string Reason(int error) {
    switch (error) {
    case ENOENT: return "arquivo ou pasta não encontrado";
    case EACCES:
    case EPERM: return "permissão negada";
    case EROFS: return "a pasta é somente para leitura";
    case ENOSPC:
    case EDQUOT: return "não há espaço no disco";
    case EISDIR: return "é uma pasta";
    case ENOTDIR: return "uma parte do caminho não é uma pasta";
    case ENAMETOOLONG: return "nome longo demais";
    case EIO: return "erro de entrada e saída";
    default: return "erro " + std::to_string(error) + " do sistema";
    }
}

EInOutError Failure(const char* action, const std::string& path, int error) {
    return EInOutError(std::string("Não foi possível ") + action + " o arquivo \"" + path +
                       "\": " + Reason(error) + ".");
}

}  // namespace

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string ReadTextFile(const std::string& path) {
    std::string bytes;
    int error = 0;
    if (!platform::ReadWholeFile(path, bytes, &error))
        throw Failure("ler", path, error);
    return bytes;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::string_view line = platform::NextLine(text, pos);
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
    }
    return lines;
}

TextFileWriter::TextFileWriter(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw Failure("criar", path_, errno);
}

TextFileWriter::~TextFileWriter() {
    Close();
}

TextFileWriter::TextFileWriter(TextFileWriter&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

TextFileWriter& TextFileWriter::operator=(TextFileWriter&& other) noexcept {
    if (this != &other) {
        Close();
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void TextFileWriter::WriteLine(std::string_view line) {
    if (fd_ < 0)
        throw std::logic_error("TextFileWriter::WriteLine on closed file " + path_);
    std::string bytes(line);
    bytes += "\r\n";
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n >= 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            throw Failure("gravar", path_, errno);
    }
}

void TextFileWriter::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace catalogue
