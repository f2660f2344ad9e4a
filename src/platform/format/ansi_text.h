// "ANSI" text files: one fixed single-byte code page, Windows-1252, as the back
// end's hosts write and read them. Text inside the system is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Windows-1252 bytes as UTF-8.
std::string AnsiToUtf8(std::string_view ansi);
// UTF-8 as Windows-1252 bytes; characters outside the code page become "?".
std::string Utf8ToAnsi(std::string_view utf8);

// The UTF-8 text as Windows-1252 can hold it, still in UTF-8. A word (a run
// without white space) that holds a character the code page lacks is written
// in Latin letters (ICU's Any-Latin and Latin-ASCII: "Łódź" becomes "Lodz",
// "Москва" "Moskva", "北京" "bei jing"); a word the code page holds stays as it
// is ("Straße"); what has no Latin form becomes "?" (an emoji). Bytes that are
// no UTF-8 become "?" too. Text the code page holds comes back unchanged.
std::string FitToWindows1252(std::string_view utf8);
// True when every byte is ASCII: the text is the same in UTF-8 and Windows-1252.
bool IsAscii(std::string_view text);

}  // namespace qx
