// The low-level reading shared by the program's small single-byte text files (INI profiles, the
// Wine registry, the catalogues): a file read whole, its lines walked one by one, blanks trimmed
// and Windows-1252 names folded for case-blind matching. Free functions without state; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The whole file at `path` into `bytes`, or false, with errno in `*error` when given, when it
// cannot be opened or read. Close-on-exec, so that an installer started meanwhile inherits nothing.
bool ReadWholeFile(const std::string& path, std::string& bytes, int* error = nullptr);

// The line of `text` that starts at `pos`, without its LF, and `pos` moved past that LF (or to the
// end of a last line without one). Call only while pos < text.size().
std::string_view NextLine(std::string_view text, std::size_t& pos);

// `text` without the blanks (space, tab, CR, VT, FF) at either end.
std::string_view TrimBlanks(std::string_view text);

// Windows compares profile and registry names with the system's case rules; for single-byte texts
// that means ASCII plus the accented letters of Windows-1252, folded to lower case.
char FoldCase1252(char c);
std::string FoldCase1252(std::string_view text);

// The character a Windows-1252 byte stands for. The five bytes the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their Latin-1 control characters, as Windows itself does.
char16_t FromCp1252(unsigned char byte);
// The Windows-1252 byte of `cp`, or "?" for a character the code page lacks.
char ToCp1252(char32_t cp);

}  // namespace platform
