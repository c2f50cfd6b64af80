// Checking that a package and a connected module belong together, and the two
// transfer phases: the loader into the running firmware, then the firmware
// into the started loader.
#include "app/Log.h"
#include "link/api/SystemClass.h"
#include "link/core/aDefs.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr unsigned kFirmwareBlockAttempts = 5;

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& package, Module& module, unsigned serial) {
  if (package.blockCount == 0) return false;
  if (!package.hasSerialOffsets && !package.ValidateSerialNumber(serial)) return false;

  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, 0);
  uint32_t module_serial = 0;
  aErr err = system.getSerialNumber(&module_serial);
  if (err != aErrNone || module_serial != serial) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", static_cast<int>(err));
    return false;
  }
  uint8_t model = 0;
  err = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (err != aErrNone || !package.ValidateModel(name)) {
    display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)", name,
                    static_cast<int>(err));
    return false;
  }
  return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& package) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(err), aError_GetErrorText(err));
    return err;
  }
  display.message(INFO, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = package.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  int sent_blocks = 0, sent_bytes = 0;
  const int count = static_cast<int>(blocks.size());
  for (int i = 0; i < count; ++i) {
    const BirdBlock& block = blocks[i];
    display.message(INFO, "Transferring loader block %d of %d, %d bytes", i + 1, count,
                    static_cast<int>(block.length));
    unsigned short block_size = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(err),
               aError_GetErrorText(err));
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(err), aError_GetErrorText(err));
      continue;
    }
    ++sent_blocks;
    sent_bytes += static_cast<int>(block.length);
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent_blocks, sent_bytes);
  display.display_progress(false);
  if (err != aErrNone) return err;

  display.message(INFO, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    return aErrNone;
  }
  if (err != aErrNone) {
    display.message(ERROR, "Error starting loader [%d, %s]", static_cast<int>(err), aError_GetErrorText(err));
  }
  return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& package, bool indirect,
                        bool uei_bytes_load) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, indirect);
  if (uei_bytes_load && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", package.path.c_str());
  const std::vector<BirdBlock> blocks = package.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const unsigned count = static_cast<unsigned>(blocks.size());
  aErr err = aErrNone;
  int sent_blocks = 0, sent_bytes = 0;
  for (unsigned i = 0; i < count && err == aErrNone; ++i) {
    const BirdBlock& block = blocks[i];
    bool done = false;
    for (unsigned attempt = 0; attempt < kFirmwareBlockAttempts && !done; ++attempt) {
      display.message(INFO, "Transferring firmware block %u of %u, %d bytes", i + 1, count,
                      static_cast<int>(block.length));
      if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
      unsigned short block_size = 0;
      err = entity.TransferPrepare(block.data, block.length, block.flags, block_size);
      if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", static_cast<int>(err),
                 aError_GetErrorText(err));
        break;
      }
      err = entity.FirmwareTransfer(block.data, block.length, block_size, display);
      if (err == aErrNone) {
        done = true;
      } else {
        Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(err),
                 aError_GetErrorText(err));
      }
    }
    if (!done) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      if (err == aErrNone) err = aErrUnknown;
      break;
    }
    ++sent_blocks;
    sent_bytes += static_cast<int>(block.length);
  }
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent_blocks, sent_bytes);
  if (err != aErrNone) return err;
  return entity.LoaderReboot(display);
}
