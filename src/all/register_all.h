#pragma once

// Registers the platform stand-ins and the classes of both libraries under their ProgIDs.
void RegisterAllComponents();
