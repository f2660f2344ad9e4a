#include "format/text_encoding.h"

#include <unicode/ucnv.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qx {
namespace {

struct ConverterCloser {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t SequenceLength(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

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
        size_t length = SequenceLength(text, at);
        if (length == 0 || text.substr(at, length) == kReplacement) return false;
        at += length;
    }
    return true;
}

std::string ShowBytes(std::string_view text) {
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t length = SequenceLength(text, at);
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
