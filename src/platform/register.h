#pragma once

namespace qx {
// Registers every platform stand-in and the data objects under their ProgIDs.
void RegisterPlatformComponents();
}  // namespace qx
