#include "qt/QtUserServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace mirelo_qt {
namespace {

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
    return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(address)));
}

bool QtUserServices::StartProgram(const std::string& path)
{
    const QString program = QString::fromStdString(path);
    const QFileInfo info(program);
    if (!info.isFile())
        return false;
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("exe"))
        return QProcess::startDetached(QStringLiteral("wine"), {program}, info.absolutePath());
    if (suffix == QLatin1String("msi"))
        return QProcess::startDetached(QStringLiteral("wine"),
                                       {QStringLiteral("msiexec"), QStringLiteral("/i"), program},
                                       info.absolutePath());
    if (!info.isExecutable())
        return false;
    return QProcess::startDetached(info.absoluteFilePath(), {}, info.absolutePath());
}

}  // namespace mirelo_qt
