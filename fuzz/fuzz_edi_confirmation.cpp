// The EDI confirmation reader on any bytes, with a one-character separator,
// the empty one (",") and one of letters (found without regard to case).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "platform/automation/error.h"
#include "reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const char* separator : {";", "", "Ab"}) {
        try {
            fuzzing::CheckPromises(ordexa::ReadEdiConfirmation(bytes, separator));
        } catch (const ole::AutomationError&) {
        } catch (const std::runtime_error&) {  // text the converter refuses
        }
    }
    return 0;
}
