// WiFi test helpers, exposed for direct tests.
#pragma once
#include <cstddef>
#include <cstdint>

// The four bytes of a device address, most significant first, as dotted
// decimal text ("10.0.0.5"), bounded to capacity.
void DottedAddressText(uint32_t address, char* text, size_t capacity);
