#include "app/PastaDoPrograma.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

#include "catalogue/MirrorList.h"

namespace mirelo_app {
namespace {

const char* const kArquivoTrava = ".mirelo-downloader.lock";

}  // namespace

bool TemArquivosDoPrograma(const QString& pasta)
{
    const QDir dir(pasta);
    for (const char* nome : {"proxy.ini", catalogue::kSitesReplicacaoCfg, "formularios.cfg",
                             "mensagem.txt"})
        if (QFileInfo(dir.filePath(QString::fromLatin1(nome))).isFile())
            return true;
    return false;
}

QString EntraNaPastaDoPrograma()
{
    const QString atual = QDir::currentPath();
    if (TemArquivosDoPrograma(atual))
        return atual;
    const QString dados = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dados.isEmpty() || !QDir().mkpath(dados) || !QDir::setCurrent(dados))
        return {};
    return QDir::currentPath();
}

std::unique_ptr<QLockFile> TravaPasta(const QString& pasta, std::string& mensagem)
{
    auto trava = std::make_unique<QLockFile>(QDir(pasta).filePath(QLatin1String(kArquivoTrava)));
    // A copy may run for days: only a lock whose process has ended counts as abandoned.
    trava->setStaleLockTime(0);
    if (trava->tryLock(0))
        return trava;
    if (trava->error() == QLockFile::LockFailedError)
        mensagem = "O Downloader já está aberto usando a pasta " +
                   QDir::toNativeSeparators(pasta).toStdString() +
                   ".\rFeche a outra cópia antes de abrir uma nova.";
    else
        mensagem = "Não foi possível usar a pasta " +
                   QDir::toNativeSeparators(pasta).toStdString() +
                   ": sem permissão para gravar nela.";
    return nullptr;
}

}  // namespace mirelo_app
