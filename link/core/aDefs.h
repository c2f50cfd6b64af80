// Constants of the module family: USB identification and model names.
#pragma once

#include <stdint.h>

// USB vendor ID of the module family (shared by the USB stream and discovery).
#define TOLVARINE_USB_VENDOR_ID 0x7A5C
// Product IDs with this bit set are not modules (boot loaders, tools).
#define TOLVARINE_USB_PRODUCT_RESERVED 0x8000

// Serial number of a device that has none yet (a live loader, a fresh chip).
#define TOLVARINE_DEFAULT_SERIAL 0xDEADDEADu

// The product display name of a model number; "Unknown" for any other number.
const char* aDefs_GetModelName(uint32_t model);
