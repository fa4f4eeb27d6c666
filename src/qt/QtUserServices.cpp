#include "qt/QtUserServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include "platform/ProgramStart.h"

namespace mirelo_qt {
namespace {

// How long the opening of an address may hold the window before it counts as done.
constexpr int kOpenWaitMs = 5000;

QMessageBox::Icon BoxIcon(platform::UserServices::Icon icon)
{
    switch (icon) {
    case platform::UserServices::Icon::Error:
        return QMessageBox::Critical;
    case platform::UserServices::Icon::Question:
        return QMessageBox::Question;
    case platform::UserServices::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QString QtUserServices::BoxText(const std::string& text)
{
    QString result = QString::fromStdString(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    result.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return result;
}

void QtUserServices::ShowMessage(const std::string& caption, const std::string& text, Icon icon)
{
    QMessageBox box(BoxIcon(icon), QString::fromStdString(caption), BoxText(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    // Message texts may carry names that came from a server: never interpret them as markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool QtUserServices::AskYesNo(const std::string& caption, const std::string& text, Icon icon)
{
    QMessageBox box(BoxIcon(icon), QString::fromStdString(caption), BoxText(text),
                    QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtUserServices::ChooseFolder(const std::string& caption,
                                                        const std::string& start)
{
    const QString startFolder = start.empty() ? QDir::homePath() : QString::fromStdString(start);
    const QString chosen = QFileDialog::getExistingDirectory(
        QApplication::activeWindow(), QString::fromStdString(caption), startFolder);
    if (chosen.isEmpty())
        return std::nullopt;
    std::string path = QDir::cleanPath(chosen).toStdString();
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool QtUserServices::OpenAddress(const std::string& address)
{
    // Addresses without a scheme (the maker's page is given as a bare host) are web pages.
    const QUrl url = QUrl::fromUserInput(QString::fromStdString(address));
    // QDesktopServices only tells whether xdg-open could be started, not whether anything took
    // the address; xdg-open's exit status says that (non-zero when no program is set for it).
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty())
        return QDesktopServices::openUrl(url);
    // No parent: a handler still running when the program ends must not be killed with it.
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(xdgOpen, {url.toString(QUrl::FullyEncoded)});
    if (!process->waitForStarted(kOpenWaitMs)) {
        delete process;
        return false;
    }
    if (process->waitForFinished(kOpenWaitMs)) {
        const bool opened =
            process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
        delete process;
        return opened;
    }
    // Still running: the handler it started stays in the foreground, so it took the address.
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    return true;
}

bool QtUserServices::StartProgram(const std::string& path)
{
    const QFileInfo info(QString::fromStdString(path));
    if (!info.isFile())
        return false;
    // Absolute, since the program starts in its own folder.
    const std::vector<std::string> command =
        platform::StartCommand(info.absoluteFilePath().toStdString());
    if (command.size() == 1 && !info.isExecutable())
        return false;
    QStringList arguments;
    for (std::size_t i = 1; i < command.size(); ++i)
        arguments << QString::fromStdString(command[i]);
    // In the download folder, where the installer finds its other parts.
    return QProcess::startDetached(QString::fromStdString(command.front()), arguments,
                                   info.absolutePath());
}

}  // namespace mirelo_qt
