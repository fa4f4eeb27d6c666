// Which servers have spoken TLS with this program: a text file of one "host" or "host:port" a
// line, kept in the program's folder of files (the user's data folder when started from the
// desktop). A server on the list that refuses TLS later is not used: someone on the way may be
// taking TLS out to read the password and change the installers. Any thread; plain files.
#pragma once

#include <string>

namespace memoria_tls {

// The file's name in the program's folder, opened by bare name like the program's other files.
inline constexpr const char* kArquivo = "servidores-tls.txt";

bool FalouTls(const std::string& arquivo, const std::string& servidor);
// Adds `servidor` to the file unless it is there; a file that cannot be written is left as it is.
void LembraTls(const std::string& arquivo, const std::string& servidor);

}  // namespace memoria_tls
