// Small text helpers shared by the WSocket unit's files. Not part of the component's interface.
#pragma once

#include <string>

namespace wsocket {

// The text without leading and trailing blanks and control characters.
std::string Trim(const std::string& text);

}  // namespace wsocket
