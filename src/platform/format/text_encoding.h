// Text in other encodings than the system's own UTF-8: byte-order marks,
// conversion of a named character set through ICU, and a validity test.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// The encoding that a byte-order mark at the start of bytes announces ("UTF-8",
// "UTF-16LE", "UTF-16BE"), or "" without one; size is the mark's length.
std::string ByteOrderMark(std::string_view bytes, size_t& size);

// Bytes in a character set that ICU knows by the name or an alias of it
// ("windows-1252", "ISO-8859-2", "UTF-16LE", "Shift_JIS") as UTF-8. A byte
// sequence that is not valid in the set becomes U+FFFD, so that it shows in
// the value it belongs to. Raises std::invalid_argument for an unknown name.
std::string CharsetToUtf8(std::string_view bytes, const std::string& charset);

// True when the text is well-formed UTF-8 without NUL and without U+FFFD (the
// mark of a byte that a conversion could not read).
bool IsCleanUtf8(std::string_view text);

// The text with every byte that is not part of clean UTF-8, and every control
// character, shown as \xNN: safe to write into a log entry.
std::string ShowBytes(std::string_view text);

}  // namespace qx
