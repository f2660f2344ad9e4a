#include "platform/format/text_encoding.h"

#include <unicode/ucnv.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "platform/automation/text.h"

namespace qx {
namespace {

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};

const std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string ByteOrderMark(std::string_view bytes, size_t& size) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        size = 3;
        return "UTF-8";
    }
    if (bytes.substr(0, 2) == "\xFF\xFE") {
        size = 2;
        return "UTF-16LE";
    }
    if (bytes.substr(0, 2) == "\xFE\xFF") {
        size = 2;
        return "UTF-16BE";
    }
    size = 0;
    return "";
}

std::string CharsetToUtf8(std::string_view bytes, const std::string& charset) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(charset.c_str(), &status));
    if (U_FAILURE(status) || !converter)
        throw std::invalid_argument("The character set '" + charset + "' is not known");
    // the default substitution of an unreadable sequence is U+FFFD on the way to Unicode
    std::string out(bytes.size() * 3 + 4, '\0');
    for (;;) {
        status = U_ZERO_ERROR;
        int32_t n = ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), out.data(), static_cast<int32_t>(out.size()),
                                       bytes.data(), static_cast<int32_t>(bytes.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<size_t>(n) + 4);
            ucnv_reset(converter.get());
            continue;
        }
        if (U_FAILURE(status)) throw std::invalid_argument("The text cannot be read as " + charset);
        out.resize(static_cast<size_t>(n));
        return out;
    }
}

bool IsCleanUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        if (text[at] == '\0') return false;
        size_t length = ole::Utf8CharacterAt(text, at);
        if (length == 0 || text.substr(at, length) == kReplacement) return false;
        at += length;
    }
    return true;
}

std::string ShowBytes(std::string_view text) {
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t length = ole::Utf8CharacterAt(text, at);
        if (length == 0 || c < 0x20 || c == 0x7F || text.substr(at, length) == kReplacement) {
            size_t count = length == 0 ? 1 : length;
            for (size_t i = 0; i < count; ++i) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[at + i]));
                shown += hex;
            }
            at += count;
        } else {
            shown.append(text.substr(at, length));
            at += length;
        }
    }
    return shown;
}

}  // namespace qx
