#pragma once

namespace vendalo {
// Registers the Vendalo classes under their ProgIDs ("Vendalo." + class name).
void RegisterComponents();
}  // namespace vendalo
