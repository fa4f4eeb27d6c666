#include "qt/QtPortugues.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace mirelo_qt {

bool UsaPortuguesDoBrasil(QCoreApplication& app)
{
    const QLocale portugues(QLocale::Portuguese, QLocale::Brazil);
    QLocale::setDefault(portugues);
    // Owned by the application, so it lives exactly as long as the texts it translates.
    auto* traducao = new QTranslator(&app);
    if (!traducao->load(portugues, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete traducao;
        return false;
    }
    return QCoreApplication::installTranslator(traducao);
}

}  // namespace mirelo_qt
