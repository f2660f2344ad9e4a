// The XML confirmation reader on any bytes: decoding by mark and declaration,
// parsing, the depth limit, and the entries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/automation/error.h"
#include "reader_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        fuzzing::CheckPromises(ordexa::ReadXmlConfirmation(bytes));
    } catch (const ole::AutomationError&) {
        // a document that cannot be read is refused whole, as it should be
    }
    return 0;
}
