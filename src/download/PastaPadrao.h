// The folder that the download-folder dialog proposes before the user changes it: the user's
// download folder, else the home folder. Never the program's own folder: installed, that is a
// system folder; built, it is a build folder. Reads the environment and the file system; any
// thread.
#pragma once

#include <string>
#include <vector>

namespace mirelo_download {

// The folder of the running program, ending in "/" (empty when it cannot be found).
std::string PastaExecutavel();

// The user's download folder as the desktop names it (XDG_DOWNLOAD_DIR in
// `configHome`/user-dirs.dirs, "$HOME/" expanded), else `home` + "Downloads/"; ending in "/".
// `home` and `configHome` end in "/".
std::string PastaDownloadXdg(const std::string& home, const std::string& configHome);

// The first of `candidatas` that is a folder the process may write into and enter, ending in
// "/"; the last one when none is.
std::string PrimeiraGravavel(const std::vector<std::string>& candidatas);

// PrimeiraGravavel of the XDG download folder and the home folder, as this process's
// environment names them.
std::string PastaDownloadPadrao();

}  // namespace mirelo_download
