// USB stream: the kernel driver node when it exists, libusb otherwise.
#include <new>

#include "link/core/aStream.h"
#include "link/core/aWaker.h"
#include "link/core/tvusb.h"

#define aUSB_STREAM_CHECK 0xDEAD

namespace {

struct USBStream {
  uint32_t serialNumber;
  tvusb* device;
  uint16_t check;
  aWaker* waker;  // ends the wait on a kernel node
};

bool sValid(const USBStream* s) { return s != nullptr && s->check == aUSB_STREAM_CHECK; }

aErr sUSBGet(uint8_t* byte, void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  if (!sValid(s)) return aErrParam;
  return tvusb_get(s->device, byte);
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  if (!sValid(s)) return aErrParam;
  return tvusb_write(s->device, data, static_cast<uint32_t>(length));
}

aErr sUSBPut(uint8_t byte, void* reference) { return sUSBWrite(&byte, 1, reference); }

// Kernel nodes answer at once; libusb reads already block per transfer.
aErr sUSBWait(uint32_t milliseconds, void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (s->device->mode != tvusbMODE_KERNEL || s->device->fd < 0) return aErrNone;
  aWaker_WaitReadable(s->waker, s->device->fd, milliseconds);
  return aErrNone;
}

void sUSBInterrupt(void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  if (!sValid(s)) return;
  aWaker_Wake(s->waker);
  tvusb_interrupt(s->device);
}

aErr sUSBDelete(void* reference) {
  USBStream* s = static_cast<USBStream*>(reference);
  if (!sValid(s)) return aErrParam;
  aErr result = tvusb_close(s->device);
  tvusb_destroy(&s->device);
  aWaker_Destroy(&s->waker);
  s->check = 0;
  delete s;
  return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  int mode = tvusb_kernel_node_exists(serialNumber) ? tvusbMODE_KERNEL : tvusbMODE_LIBUSB;
  tvusb* device = nullptr;
  aErr result = tvusb_create_usb(serialNumber, mode, &device);
  if (result != aErrNone) return result;
  result = tvusb_open_tolvarine_device(device);
  if (result != aErrNone) {
    tvusb_destroy(&device);
    return result;
  }
  USBStream* s = new (std::nothrow) USBStream{serialNumber, device, aUSB_STREAM_CHECK, aWaker_Create()};
  aStream* created = s != nullptr && s->waker != nullptr
                         ? aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, s)
                         : nullptr;
  if (created == nullptr) {
    if (s != nullptr) aWaker_Destroy(&s->waker);
    delete s;
    tvusb_close(device);
    tvusb_destroy(&device);
    return aErrMemory;
  }
  aStream_SetWaitProc(created, sUSBWait);
  aStream_SetInterruptProc(created, sUSBInterrupt);
  *stream = created;
  return aErrNone;
}
