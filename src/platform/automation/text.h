// The platform's text functions the system leans on: Trim (blanks only, as the
// platform's Trim), UCase and LCase (ASCII letters; identifiers and flags are ASCII).
#pragma once

#include <string>
#include <string_view>

namespace ole {

std::string TrimBlanks(std::string_view text);
// The same, trimming a text that is given up in place (no copy).
std::string TrimBlanks(std::string&& text);
inline std::string TrimBlanks(const char* text) { return TrimBlanks(std::string_view(text)); }
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

// The length of the well-formed UTF-8 sequence at text[at], and its character
// in *character when given; 0 when none starts there (a stray continuation
// byte, an overlong form, a surrogate, a cut sequence, a byte no sequence
// starts with).
size_t Utf8CharacterAt(std::string_view text, size_t at, char32_t* character = nullptr);

// Text that is safe to print on a terminal or to write into the log: every
// control character (C0, DEL and the C1 controls U+0080..U+009F) and every byte
// that is not part of valid UTF-8 is shown as its code, "\x1B" for ESC,
// "\x0D\x0A" for CR LF. Everything else, backslashes included, stays as it is,
// so escaping an escaped text changes nothing.
std::string EscapeControls(std::string_view text);

// The text cut to at most `limit` characters (UTF-8) followed by a note of how
// many were cut, e.g. "... (9999488 more characters)"; a shorter text unchanged.
std::string Shorten(std::string_view text, size_t limit);

}  // namespace ole
