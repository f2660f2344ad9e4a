#include "platform/automation/guid.h"

#include <cstdio>

#include "platform/os/random_bytes.h"

namespace ole {

bool CreateGuid(Guid& guid) {
    unsigned char bytes[16];
    if (!os::FillRandom(bytes, sizeof bytes)) return false;
    bytes[7] = static_cast<unsigned char>((bytes[7] & 0x0F) | 0x40);  // version 4 (Data3's high nibble)
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // variant
    guid.Data1 = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    guid.Data2 = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    guid.Data3 = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
    return true;
}

std::string GuidText(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace ole
