// The platform's text functions the system leans on: Trim (blanks only, as the
// platform's Trim), UCase and LCase (ASCII letters; identifiers and flags are ASCII).
#pragma once

#include <string>
#include <string_view>

namespace ole {

std::string TrimBlanks(std::string_view text);
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);

// Every occurrence of `from` replaced by `to`, left to right, never rescanning
// what was put in (an empty `from` changes nothing).
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);
// ASCII letters compared without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);
// The first position of `what` in `text`, ASCII letters compared without regard to case.
size_t FindNoCase(std::string_view text, std::string_view what);
bool EndsWithNoCase(std::string_view text, std::string_view tail);

}  // namespace ole
