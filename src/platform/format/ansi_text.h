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

}  // namespace qx
