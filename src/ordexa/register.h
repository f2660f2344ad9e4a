#pragma once

namespace ordexa {
// Registers the Ordexa classes under their ProgIDs ("Ordexa." + class name).
void RegisterComponents();
}  // namespace ordexa
