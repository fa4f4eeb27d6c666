#include "gui/Windows1252.h"

#include "platform/TextBytes.h"

QString DeWindows1252(const std::string& bytes)
{
    QString texto;
    texto.reserve(static_cast<qsizetype>(bytes.size()));
    for (const char c : bytes)
        texto.append(QChar(platform::FromCp1252(static_cast<unsigned char>(c))));
    return texto;
}
