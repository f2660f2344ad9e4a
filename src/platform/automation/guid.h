// GUIDs as the platform makes them: random (version 4), in the platform's four fields.
#pragma once

#include <cstdint>
#include <string>

namespace ole {

struct Guid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
};

// A new GUID; false when the system cannot give the random bytes for one.
bool CreateGuid(Guid& guid);

// The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string GuidText(const Guid& guid);

}  // namespace ole
