// The upgrade sub-protocol: every request is [cmdUPGRADE, operation, ...] to
// the module's address; replies are matched out of the link's receive queue.
#include "updater/UpdaterEntity.h"

#include <string.h>

#include <algorithm>

#include "app/Log.h"
#include "link/api/Link.h"
#include "link/api/SystemClass.h"
#include "link/core/aTime.h"
#include "link/core/aUEI.h"
#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;
using Veltrane::Tolvarine::SystemClass;

namespace {

constexpr unsigned FIRM = DEBUG_Network_FIRM;
constexpr unsigned kPacketData = 28;

}  // namespace

aErr UpdaterEntity::init(Module* target, unsigned char index, bool validate_transfers, bool indirect_link) {
  module = target;
  validate = validate_transfers;
  indirect = indirect_link;
  uei_data = false;
  return EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::_send(uint8_t operation, const uint8_t* bytes, uint8_t count) {
  uint8_t data[kPacketData] = {operation};
  if (count > 0) memcpy(data + 1, bytes, count);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

aErr UpdaterEntity::_receive(uint8_t reply_code, uint8_t& length, uint8_t* reply) {
  const uint8_t match[2] = {cmdUPGRADE, reply_code};
  memcpy(reply, match, sizeof match);
  length = sizeof match;
  return receivePacket(match, &length, reply);
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = _send(val_UPGRADE_INIT);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return err;
  }
  uint8_t reply[kPacketData];
  uint8_t length = 0;
  err = _receive(val_UPGRADE_INIT, length, reply);
  if (err != aErrNone) return err;
  if (length <= 5) return aErrPacket;
  const uint32_t base = aUEI_RetrieveInt(reply + 2);
  Log::log(FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* data, unsigned length, unsigned char flags,
                                    unsigned short& block_size) {
  Log::log(FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", length, flags, block_size);
  Log::log(FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
           data[0], data[1], data[2], data[3]);
  Log::log(FIRM, "NETWORK: Address: %d\n", static_cast<int>(aUEI_RetrieveInt(data)));
  const uint8_t request[5] = {flags, data[0], data[1], data[2], data[3]};
  aErr err = _send(val_UPGRADE_PREPARE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return err;
  }
  uint8_t reply[kPacketData];
  uint8_t reply_length = 0;
  err = _receive(val_UPGRADE_STATUS, reply_length, reply);
  if (err != aErrNone) return err;
  if (reply_length < 5 || reply[2] != 0) {
    Log::log(FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  const unsigned short announced = static_cast<unsigned short>((reply[3] << 8) | reply[4]);
  // Pieces of 0 bytes would never finish the block.
  if (announced == 0) {
    Log::log(FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  block_size = announced;
  Log::log(FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", block_size);
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = _send(val_UPGRADE_LOAD);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return err;
  }
  uint8_t reply[kPacketData];
  uint8_t length = 0;
  err = _receive(val_UPGRADE_LOAD, length, reply);
  if (err == aErrNone) {
    Log::log(FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // The module may have re-enumerated while its loader started.
  err = _reconnect(500);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err, aError_GetErrorText(err));
    return aErrTimeout;
  }
  err = _receive(val_UPGRADE_LOAD, length, reply);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  Log::log(FIRM, "NETWORK: Loader validated start (Reconnect)\n");
  return aErrNone;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr) return aErrResource;
  aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
  Log::log(FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
  if (err == aErrNone) uei_data = true;
  return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrResource;
  SystemClass system;
  aErr err = system.init(module, 0);
  uint32_t features = 0;
  if (err == aErrNone) err = system.getProtocolFeatures(&features);
  Log::log(FIRM, "NETWORK: Protocol Version: %d Error: %d\n", static_cast<int>(features), err);
  if (err != aErrNone || (features & 0x80000000u) == 0) return err;
  Veltrane::Tolvarine::Link* link = module->getLink();
  if (link == nullptr) return aErrConnection;
  return link->enablePooledPackets(true);
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* data, unsigned length) {
  if (length < 4) return aErrParam;
  Log::log(FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data), length - 4);
  unsigned packets = 0;
  return _block_transfer(data + 4, length - 4, packets);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned length, unsigned& packets,
                                               unsigned& sum) {
  Log::log(FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", length);
  uei value{};
  value.v.bytes = const_cast<uint8_t*>(data);  // only read by a set
  value.byteCount = length;
  value.type = ueiTypeBytes;
  aErr err = setUEI(val_UPGRADE_DATA_UEI, &value);
  if (err != aErrNone) {
    Log::log(FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
    return err;
  }
  for (unsigned i = 0; i < length; ++i) sum += data[i];
  packets = 1;
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned length, unsigned& packets) {
  Log::log(FIRM, "\nNETWORK: Block Transfer\n");
  unsigned sum = 0;
  unsigned sent = 0;
  aErr err = aErrNone;
  if (uei_data) {
    err = _block_transfer_uei_helper(data, length, packets, sum);
    if (err != aErrNone) return err;
    sent = length;
    Log::log(FIRM, "\nNETWORK: accepted %d bytes \n", length);
  } else {
    unsigned resends = 0;
    while (sent < length && err == aErrNone) {
      const uint8_t piece = static_cast<uint8_t>(std::min<unsigned>(kUpgradeDataPerPacket, length - sent));
      Log::log(FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", piece);
      err = _send(val_UPGRADE_DATA, data + sent, piece);
      if (err != aErrNone) {
        Log::log(FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
        return err;
      }
      uint8_t reply[kPacketData];
      uint8_t reply_length = 0;
      if (_receive(val_UPGRADE_DATA, reply_length, reply) != aErrNone) {
        Log::log(FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        err = aErrPacket;
        break;
      }
      const unsigned accepted = reply_length > 2 ? reply[2] : 0;
      if (accepted != piece) {
        Log::log(FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted, piece);
        // A module that keeps miscounting would stall the update for good.
        if (++resends > kUpgradeMaxResends) {
          err = aErrPacket;
          break;
        }
        continue;
      }
      resends = 0;
      for (unsigned i = 0; i < piece; ++i) sum += data[sent + i];
      sent += piece;
      ++packets;
      Log::log(FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", piece, length - sent, length);
    }
  }
  Log::log(FIRM, "\nNETWORK: transferred %d of %d bytes\n", sent, length);
  if (err != aErrNone || !validate) return err;

  Log::log(FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  _send(val_UPGRADE_SUM);
  uint8_t reply[kPacketData];
  uint8_t reply_length = 0;
  if (_receive(val_UPGRADE_STATUS, reply_length, reply) != aErrNone) {
    Log::log(FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = reply_length > 2 ? reply[2] : 0xFF;
  const uint32_t module_sum = reply_length >= 7 ? aUEI_RetrieveInt(reply + 3) : ~sum;
  if (status == 0 && module_sum == sum) {
    Log::log(FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, module_sum, sum,
             packets);
    return aErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, module_sum, sum);
  return aErrInvalidOption;
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* data, unsigned length, unsigned short block_size,
                                     UpdaterDisplayInterface& display) {
  if (length < 4) return aErrParam;
  if (block_size == 0) return aErrInvalidOption;
  Log::log(FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", aUEI_RetrieveInt(data), length - 4);
  const unsigned char* bytes = data + 4;
  const unsigned total = length - 4;
  unsigned remaining = total;
  aErr err = aErrNone;
  display.display_progress(true);
  while (remaining > 0 && err == aErrNone) {
    const unsigned piece = std::min<unsigned>(block_size, remaining);
    unsigned packets = 0;
    err = _block_transfer(bytes + (total - remaining), piece, packets);
    if (err != aErrNone) break;
    remaining -= piece;
    display.update_progress(static_cast<double>(total - remaining) / total, "");
    Log::log(FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", piece, remaining, total);
    err = FirmwareWrite(piece);
  }
  display.display_progress(false);
  Log::log(FIRM, "NETWORK: transferred %d of %d bytes\n", total - remaining, total);
  if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return err;
}

aErr UpdaterEntity::FirmwareWrite(unsigned count) {
  Log::log(FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
  const uint8_t request[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
  aErr err = _send(val_UPGRADE_WRITE, request, sizeof request);
  if (err != aErrNone) {
    Log::log(FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return err;
  }
  uint8_t reply[kPacketData];
  uint8_t length = 0;
  err = _receive(val_UPGRADE_STATUS, length, reply);
  if (err != aErrNone || length < 3 || reply[2] != 0) {
    Log::log(FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  aErr result = _send(val_UPGRADE_REBOOT);
  if (result != aErrNone) Log::log(FIRM, "NETWORK: Error sending Loader REBOOT\n");
  // A module that never drops its link must not hold the tool for ever.
  // Each round ends early once the link has dropped. Through a router the
  // link is the router's and stays up: nothing to wait for here, the
  // module's answer after its reboot is what tells it is back.
  if (indirect) display.update_spinner(true, "Verifying Update");
  for (unsigned round = 0; !indirect && module != nullptr && module->isConnected() && round < kUpgradeRebootWaitRounds;
       ++round) {
    _await_link_drop(*module, kUpgradeRebootRoundMs);
    display.update_spinner(true, "Verifying Update");
    Log::log(FIRM, "Waiting for link to drop.\n");
    Log::log(FIRM, "Rebooting Device\n");
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}

aErr UpdaterEntity::_reconnect(unsigned delay_ms) {
  if (module == nullptr) return aErrResource;
  module->disconnect();
  aErr err = aErrNone;
  for (unsigned attempt = 1; attempt <= kUpgradeReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             kUpgradeReconnectAttempts);
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", delay_ms);
    aTime_MSSleep(delay_ms);
  }
  return err;
}
