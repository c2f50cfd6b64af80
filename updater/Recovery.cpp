// Bringing back a module from its chip's ROM boot loader: an LPC17xx over the
// serial ISP protocol, or an i.MX RT through a live loader sent with the
// serial download protocol and then reached as a module over USB.
#include <stdexcept>
#include <vector>

#include "app/Log.h"
#include "link/api/SystemClass.h"
#include "link/core/aDefs.h"
#include "link/core/aTime.h"
#include "link/core/aUEI.h"
#include "link/core/tvusb.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "updater/DeviceLock.h"
#include "updater/Updater.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr unsigned kDefaultSerial = 0xDEADDEAD;
constexpr unsigned kLiveLoaderRounds = 15;
constexpr uint32_t kLiveLoaderEntry = 0x20000400;
constexpr int kLpcPiece = 4096;
constexpr uint8_t kChipImx = 1;
constexpr uint8_t kChipLpc = 2;

bool _get_fingerprint_lpc(const std::string& port, unsigned baud, Fingerprint& fingerprint) {
  NXPSerialClass chip;
  aErr err = chip.Connect(port.c_str(), static_cast<int>(baud));
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", static_cast<int>(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  if ((err = chip.Sync()) != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", static_cast<int>(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  if (chip.GetDeviceID() != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int i = 0; i < 4; ++i) fingerprint.words[i] = chip.DeviceID()[i];
  return true;
}

int _transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile& bird, const std::string& port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  std::unique_ptr<SDPLoader_Interface> transport;
  if (port == "USB") {
    transport = std::make_unique<HID_SDPLoader>(0x1FC9, 0x0130);
  } else {
    transport = std::make_unique<Serial_SDPLoader>(port);
  }
  SDPLoader loader;
  loader.setLoader(std::move(transport));
  if (loader.init() != 0) return aErrNotReady;

  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const BirdBlock& block = blocks[i];
    uint32_t address = 0;
    std::vector<uint8_t> image;
    if (block.length > 3) {
      address = aUEI_RetrieveInt(block.data);
      image.assign(block.data + 4, block.data + block.length);
    } else {
      image.assign(block.data, block.data + block.length);
    }
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", static_cast<int>(i), image.size(),
             static_cast<int>(address));
    if (loader.writeLoader(image, address) != 0) return aErrConnection;
  }
  uint32_t entry = kLiveLoaderEntry;
  for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER_START)) {
    if (block.length > 3) {
      entry = aUEI_RetrieveInt(block.data);
      break;
    }
  }
  loader.startLoader(entry);
  return 0;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port, unsigned baud,
                           Fingerprint&) {
  NXPSerialClass chip;
  if (chip.Connect(port.c_str(), static_cast<int>(baud)) != aErrNone) {
    Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  if (chip.Unlock() != aErrNone) {
    Log::log(DEBUG_Updater, "Could not unlock\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  if (chip.Prepare(0, 29) != aErrNone) {
    Log::log(DEBUG_Updater, "Could not prepare\n");
    return false;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  if (chip.Erase(0, 29) != aErrNone) {
    Log::log(DEBUG_Updater, "Could not erase\n");
    return false;
  }
  chip.SetEcho(false);
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());

  const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const int shown_total = static_cast<int>(blocks.size()) - 1;
  int sent_blocks = 0, total = 0;
  aErr err = aErrNone;
  for (size_t i = 0; i < blocks.size() && err == aErrNone; ++i) {
    const BirdBlock& block = blocks[i];
    if (block.length < 4) continue;
    const uint8_t* image = block.data + 4;
    const int length = static_cast<int>(block.length - 4);
    if (length == 4) break;
    display.message(INFO, "Transferring firmware block %d of %d, %d bytes", static_cast<int>(i + 1), shown_total,
                    length);
    display.display_progress(true);
    uint32_t address = block.address;
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", length, address);
    for (int position = 0; position < length;) {
      const int piece = std::min(kLpcPiece, length - position);
      Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", piece, address);
      Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", piece, NXPSerialClass::WRITE_ADDRESS);
      if ((err = chip.Write(NXPSerialClass::WRITE_ADDRESS, piece, image + position)) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        break;
      }
      const int first = NXPSerialClass::SectorFromAddress(address);
      const int last = NXPSerialClass::SectorFromAddress(address + piece - 1);
      Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", first, last);
      if ((err = chip.Prepare(first, last)) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Prepare failed\n");
        break;
      }
      const int copy = NXPSerialClass::CopyLength(piece);
      Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", copy, NXPSerialClass::WRITE_ADDRESS, address);
      if ((err = chip.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copy)) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
        break;
      }
      address += static_cast<uint32_t>(piece);
      position += piece;
      display.update_progress(static_cast<double>(position) / length, "");
    }
    display.display_progress(false);
    if (err != aErrNone) break;
    ++sent_blocks;
    total += length;
  }
  if (err != aErrNone) return false;
  display.message(INFO, "Transferred %d blocks, %d total bytes", sent_blocks, total);
  // Without its echo back the chip would misread every later command; a
  // module left so is not recovered.
  if ((err = chip.SetEcho(true)) != aErrNone) {
    display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", static_cast<int>(err),
                    aError_GetErrorText(err));
    return false;
  }
  display.message(INFO, "Rebooting Device");
  chip.ExecuteFrom(0);
  return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned serial, bool uei_bytes_load) {
  Module module(0, 0);
  bool done = false;
  if (_disableEther(module, display) == aErrNone) {
    bool connected = false;
    // Between rounds, a module that arrives on the bus is looked for at once.
    tvusbArrivals* arrivals = tvusb_arrivals_open();
    auto look = [&] {
      module.discoverAndConnect(linkTypeUSB, kDefaultSerial);
      if (!module.isConnected()) module.discoverAndConnect(linkTypeUSB, serial);
      return module.isConnected();
    };
    for (unsigned round = 0; round < kLiveLoaderRounds && !connected; ++round)
      connected = look() || _wait_for_next_usb_attempt(arrivals, look);
    tvusb_arrivals_close(&arrivals);
    if (!connected) {
      display.message(ERROR, "Could not connect to device");
      return false;
    }
    done = _transfer_firmware(display, module, bird, false, uei_bytes_load) == aErrNone;
  }
  if (!done) display.message(ERROR, "Failed to transfer firmware");
  return done;
}

}  // namespace

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned serial, const std::string& bird_path, Fingerprint& fingerprint, bool reset_after) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.Directory(), "_get_fingerprint_imx");
  if (!store) return false;
  if (serial == 0) serial = kDefaultSerial;
  UpdaterStoreItem device;
  bool known = store->FindDevice(serial, device);

  std::string file_name;
  if (!bird_path.empty()) {
    if (serial == kDefaultSerial) {
      display.message(ERROR, "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
  } else if (!known || !device.IsValid()) {
    display.mute_messages(true);
    Log::log(DEBUG_Updater, "Existing loader device not found. Downloading.\n");
    const unsigned build = updater.Download_Firmware(serial, "", false, false);
    if (build != 0) {
      file_name = std::to_string(build) + ".bird";
      known = store->FindDevice(serial, device);
    }
    display.mute_messages(false);
  } else {
    file_name = device.settings.GetString("LATEST_DOWNLOAD");
  }

  BirdFile bird;
  try {
    if (!bird_path.empty()) {
      bird = BirdFile(bird_path);
    } else {
      if (!known || file_name.empty()) throw std::runtime_error("No recovery image in the store");
      bird = device.ReadBirdFile(file_name);
    }
  } catch (const std::exception& e) {
    Log::log(DEBUG_Updater, "%s\n", e.what());
    return false;
  }
  if (_transfer_recovery_loader(display, bird, port) != 0) {
    Log::log(DEBUG_Updater, "Error loading liveloader.\n");
    return false;
  }
  Module module(0, 0);
  if (_disableEther(module, display) != aErrNone) return false;
  if (!_await_usb_module(module, serial)) {  // the live loader comes up as a USB module
    Log::log(DEBUG_Updater, "Could not connect to device.\n");
    return false;
  }
  SystemClass system;
  system.init(&module, 0);
  for (uint8_t j = 0; j < 4; ++j) {
    uint32_t word = 0;
    if (system.getUEI32(39, j, &word) != aErrNone) {
      Log::log(DEBUG_Updater, "Error getting Identifier %d.\n", j);
      return false;
    }
    fingerprint.words[3 - j] = word;
  }
  if (reset_after) system.reset();
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serial, std::string bird_file,
                              unsigned baud, bool reset_after) {
  if (_get_fingerprint_lpc(port, baud, fingerprint)) {
    recovery_chip_kind = kChipLpc;
    return true;
  }
  recovery_chip_kind = kChipImx;
  return _get_fingerprint_imx(display, *this, port, serial, bird_file, fingerprint, reset_after);
}

bool Updater::Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                               std::string bird_file, bool) {
  last_update = UpdateOutcome{};
  DeviceLock lock = serial != 0 ? DeviceLock(serial) : DeviceLock(port);
  if (!lock.Take(display)) return false;
  const uint32_t started = aTime_GetMSTicks();
  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serial, bird_file, 115200, false)) {
    display.message(ERROR, "Could not get Device Identifier");
    return false;
  }
  last_update.has_fingerprint = true;
  last_update.fingerprint = fingerprint;
  if (bird_file.empty()) {
    unsigned server_serial = 0, server_build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, server_serial, server_build, server_url)) {
      display.message(ERROR, "Failed to retrieve recovery information from Veltrane server");
      return false;
    }
    serial = server_serial;
    if (build == 0) build = server_build;
  }
  if (serial != 0 && serial != TOLVARINE_DEFAULT_SERIAL) last_update.serial = serial;
  last_update.build = build;
  BirdFile bird;
  try {
    bird = load_bird("Recovering", bird_file, serial, build, true);
  } catch (const std::runtime_error&) {
    display.message(ERROR, "Failed to load bird file");
    return false;
  }
  last_update.file = bird_file.empty() ? Package_Path(serial, build) : bird_file;
  if (bird.hasSerialOffsets) {
    display.message(ERROR, "Updater does not support offline recovery");
    return false;
  }
  bool done = false;
  if (recovery_chip_kind == kChipImx) {
    done = _recover_firmware_imx(display, bird, serial, uei_bytes_load);
  } else if (recovery_chip_kind == kChipLpc) {
    bird.DecodeFirmwareBlocks(fingerprint.words);
    done = _recover_firmware_lpc(display, bird, port, baud, fingerprint);
  } else {
    display.message(ERROR, "Unknown device");
    return false;
  }
  last_update.seconds = (aTime_GetMSTicks() - started) / 1000.0;
  display.message(INFO, "Update time: %.4f sec", last_update.seconds);
  return done;
}
