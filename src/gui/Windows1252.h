// Text that came from a server or a catalogue is kept as its bytes (Windows-1252); a widget shows
// it decoded with this. Pure function, any thread.
#pragma once

#include <string>

#include <QString>

QString DeWindows1252(const std::string& bytes);
