// Where the program keeps its own files ("proxy.ini", "sitesreplicacao.cfg", "mensagem.txt" and
// the catalogue copies, all opened by bare name), and the lock that lets one copy at a time use
// that folder. Main thread, before the session is created.
#pragma once

#include <memory>
#include <string>

#include <QString>

class QLockFile;

namespace mirelo_app {

// Whether `pasta` already holds files of the program (a folder it was run from before).
bool TemArquivosDoPrograma(const QString& pasta);

// Makes the program's folder of files the working directory: the current one when it already
// holds the program's files (started from a terminal, as always), else the user's data folder
// (QStandardPaths::AppDataLocation, created when missing), where a start from the desktop's
// launcher lands. Returns the folder, or an empty text when the data folder cannot be made (the
// working directory then stays).
QString EntraNaPastaDoPrograma();

// Locks `pasta` for this process. nullptr with `mensagem` (Portuguese, for the user) when
// another running copy holds it; a lock left by a copy that has ended is taken over.
std::unique_ptr<QLockFile> TravaPasta(const QString& pasta, std::string& mensagem);

}  // namespace mirelo_app
