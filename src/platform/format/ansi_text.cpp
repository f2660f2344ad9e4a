#include "platform/format/ansi_text.h"

#include <unicode/translit.h>
#include <unicode/ucnv.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/uchar.h>

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

// The characters Windows-1252 holds, and the transform to Latin letters; per
// thread, as the converter (a transliterator is not to be shared between threads).
struct Fitting {
    icu::UnicodeSet held;
    std::unique_ptr<icu::Transliterator> toLatin;

    Fitting() {
        UErrorCode status = U_ZERO_ERROR;
        USet* set = held.toUSet();
        ucnv_getUnicodeSet(Windows1252(), set, UCNV_ROUNDTRIP_SET, &status);
        if (U_FAILURE(status)) throw std::runtime_error("The characters of Windows-1252 are not available");
        held.freeze();
        toLatin.reset(icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, status));
        if (U_FAILURE(status) || !toLatin) throw std::runtime_error("The transliteration to Latin is not available");
    }
};

Fitting& FittingOfThread() {
    thread_local Fitting fitting;
    return fitting;
}

}  // namespace

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

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

std::string FitToWindows1252(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    Fitting& fitting = FittingOfThread();
    // invalid UTF-8 reads as U+FFFD, which the code page lacks
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    if (fitting.held.containsAll(text)) return std::string(utf8);
    icu::UnicodeString fitted;
    int32_t at = 0;
    while (at < text.length()) {
        int32_t end = at;
        bool space = u_isUWhiteSpace(text.char32At(at));
        while (end < text.length() && u_isUWhiteSpace(text.char32At(end)) == space) end = text.moveIndex32(end, 1);
        icu::UnicodeString word(text, at, end - at);
        if (!space && !fitting.held.containsAll(word)) fitting.toLatin->transliterate(word);
        for (int32_t i = 0; i < word.length(); i = word.moveIndex32(i, 1)) {
            UChar32 c = word.char32At(i);
            if (fitting.held.contains(c))
                fitted.append(c);
            else
                fitted.append(static_cast<UChar>('?'));
        }
        at = end;
    }
    std::string out;
    fitted.toUTF8String(out);
    return out;
}

}  // namespace qx
