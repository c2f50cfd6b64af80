// The process-wide libusb context, created on first use under one mutex.
#include <mutex>

#include "link/core/tvusb.h"

namespace {

std::mutex gContextLock;
libusb_context* gContext = nullptr;
uint32_t gGeneration = 0;

}  // namespace

libusb_context* Tolvarine_libusb_context(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  if (gContext == nullptr) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS) gContext = context;
  }
  return gContext;
}

libusb_context* Tolvarine_libusb_init(void) { return Tolvarine_libusb_context(); }

void Tolvarine_libusb_exit(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  if (gContext != nullptr) libusb_exit(gContext);
  gContext = nullptr;
  ++gGeneration;
}

uint32_t Tolvarine_libusb_generation(void) {
  std::lock_guard<std::mutex> guard(gContextLock);
  return gGeneration;
}
