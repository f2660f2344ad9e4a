// The platform's text functions the system leans on: Trim (blanks only, as the
// platform's Trim), UCase and LCase (ASCII letters; identifiers and flags are ASCII).
#pragma once

#include <string>
#include <string_view>

namespace ole {

std::string TrimBlanks(std::string_view text);
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

}  // namespace ole
