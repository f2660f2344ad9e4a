#include "format/ansi_text.h"

#include <unicode/ucnv.h>

#include <memory>
#include <stdexcept>

namespace qx {
namespace {

// A converter per thread: opening one costs more than converting a line.
UConverter* Windows1252() {
    struct Holder {
        UConverter* converter = nullptr;
        ~Holder() {
            if (converter) ucnv_close(converter);
        }
    };
    thread_local Holder holder;
    if (!holder.converter) {
        UErrorCode status = U_ZERO_ERROR;
        holder.converter = ucnv_open("windows-1252", &status);
        if (U_FAILURE(status)) throw std::runtime_error("The Windows-1252 converter is not available");
        ucnv_setSubstChars(holder.converter, "?", 1, &status);
    }
    return holder.converter;
}

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

}  // namespace

std::string AnsiToUtf8(std::string_view ansi) {
    if (IsAscii(ansi)) return std::string(ansi);
    UErrorCode status = U_ZERO_ERROR;
    std::string out(ansi.size() * 3 + 1, '\0');
    int32_t n = ucnv_toAlgorithmic(UCNV_UTF8, Windows1252(), out.data(), static_cast<int32_t>(out.size()), ansi.data(),
                                   static_cast<int32_t>(ansi.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error("Text is not Windows-1252");
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    UErrorCode status = U_ZERO_ERROR;
    std::string out(utf8.size() + 1, '\0');
    int32_t n = ucnv_fromAlgorithmic(Windows1252(), UCNV_UTF8, out.data(), static_cast<int32_t>(out.size()), utf8.data(),
                                     static_cast<int32_t>(utf8.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error("Text is not valid UTF-8");
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace qx
