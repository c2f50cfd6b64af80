// The USB read's IN transfer, submitted asynchronously so that a stop or a
// synchronisation request can cancel it instead of waiting out its second.
#include "link/core/tvusb.h"

#include <sys/time.h>

namespace {

// How long one round of event handling may last before the flag is looked
// at again (the thread handling events may be another link's).
constexpr suseconds_t kEventRoundUs = 100000;

void LIBUSB_CALL sTransferDone(libusb_transfer* transfer) {
  static_cast<std::atomic<bool>*>(transfer->user_data)->store(true);
}

// libusb_bulk_transfer's results; a cancelled transfer reads as a time-out.
int sStatus(const libusb_transfer* transfer) {
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    default: return LIBUSB_ERROR_IO;
  }
}

}  // namespace

int tvusb_bulk_in(tvusb* device, int* transferred) {
  *transferred = 0;
  // A test's replacement transfers, or a device opened without a context.
  if (device->ops != tvusb_libusb_ops() || device->context == nullptr)
    return device->ops->bulkTransfer(device->handle, device->inEndpoint, device->rx, tvusbRX_SIZE, transferred,
                                     tvusbREAD_TIMEOUT_MS);
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) return LIBUSB_ERROR_NO_MEM;
  // Set by whichever thread handles the completion; libusb's own flag for
  // this wait would be read here without its lock.
  std::atomic<bool> completed{false};
  libusb_fill_bulk_transfer(transfer, device->handle, device->inEndpoint, device->rx, tvusbRX_SIZE, sTransferDone,
                            &completed, tvusbREAD_TIMEOUT_MS);
  {
    std::lock_guard<std::mutex> guard(device->inLock);
    if (device->interruptPending) {
      device->interruptPending = false;
      libusb_free_transfer(transfer);
      return LIBUSB_ERROR_TIMEOUT;
    }
    int submitted = libusb_submit_transfer(transfer);
    if (submitted != LIBUSB_SUCCESS) {
      libusb_free_transfer(transfer);
      return submitted;
    }
    device->inTransfer = transfer;
  }
  auto handleEvents = [&] {
    timeval round{0, kEventRoundUs};
    return libusb_handle_events_timeout_completed(device->context, &round, nullptr);
  };
  while (!completed) {
    int result = handleEvents();
    if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
      libusb_cancel_transfer(transfer);
      while (!completed && handleEvents() >= 0) {
      }
      break;
    }
  }
  {
    std::lock_guard<std::mutex> guard(device->inLock);
    device->inTransfer = nullptr;
  }
  *transferred = transfer->actual_length;
  int status = completed ? sStatus(transfer) : LIBUSB_ERROR_IO;
  // A transfer that never completed still belongs to libusb: leak it rather
  // than free memory that libusb may write.
  if (completed) libusb_free_transfer(transfer);
  return status;
}

void tvusb_interrupt(tvusb* device) {
  if (device == nullptr || device->mode != tvusbMODE_LIBUSB) return;
  std::lock_guard<std::mutex> guard(device->inLock);
  if (device->inTransfer != nullptr)
    libusb_cancel_transfer(device->inTransfer);
  else
    device->interruptPending = true;
}
