// The module's upgrade entity (command 0x5F): loader and firmware transfer,
// block sums, flash writes and the reboot into the new firmware.
#pragma once

#include <stdint.h>

#include "app/UpdaterDisplayInterface.h"
#include "link/api/EntityClass.h"
#include "link/api/Module.h"
#include "link/core/aErr.h"

constexpr uint8_t cmdUPGRADE = 0x5F;

enum UpgradeOperation : uint8_t {
  val_UPGRADE_INIT = 0,
  val_UPGRADE_DATA = 1,
  val_UPGRADE_LOAD = 2,
  val_UPGRADE_PREPARE = 3,
  val_UPGRADE_SUM = 4,
  val_UPGRADE_WRITE = 5,
  val_UPGRADE_REBOOT = 6,
  val_UPGRADE_STATUS = 7,  // reply code of PREPARE, SUM and WRITE
  val_UPGRADE_DATA_UEI = 10,
};

// Bounds on a module that never settles; the protocol itself sets none.
constexpr unsigned kUpgradeMaxResends = 10;          // same piece after wrong DATA counts
constexpr unsigned kUpgradeRebootWaitRounds = 20;    // rounds waiting for the link to drop
constexpr uint32_t kUpgradeRebootRoundMs = 250;      // the longest a round lasts
constexpr unsigned kUpgradeReconnectAttempts = 5;
constexpr uint8_t kUpgradeDataPerPacket = 26;

class UpdaterEntity : public Veltrane::Tolvarine::EntityClass {
 public:
  UpdaterEntity() = default;
  ~UpdaterEntity() override = default;

  aErr init(Veltrane::Tolvarine::Module* module, unsigned char index, bool validate, bool indirect);

  aErr LoaderInit();
  aErr TransferPrepare(const unsigned char* data, unsigned length, unsigned char flags, unsigned short& block_size);
  aErr LoaderStart();
  aErr CheckUEIDataSupport();
  aErr CheckPooledPacketsSupport();
  aErr LoaderTransfer(const unsigned char* data, unsigned length);
  aErr FirmwareTransfer(const unsigned char* data, unsigned length, unsigned short block_size,
                        UpdaterDisplayInterface& display);
  aErr FirmwareWrite(unsigned count);
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  bool UsesUEIData() const { return uei_data; }

 private:
  aErr _block_transfer(const unsigned char* data, unsigned length, unsigned& packets);
  aErr _block_transfer_uei_helper(const unsigned char* data, unsigned length, unsigned& packets, unsigned& sum);
  aErr _reconnect(unsigned delay_ms);
  // Sends [cmdUPGRADE, operation, bytes...] to the module.
  aErr _send(uint8_t operation, const uint8_t* bytes = nullptr, uint8_t count = 0);
  // Awaits the reply that starts with cmdUPGRADE, reply_code.
  aErr _receive(uint8_t reply_code, uint8_t& length, uint8_t* reply);

  Veltrane::Tolvarine::Module* module = nullptr;
  bool validate = true;
  bool indirect = false;
  bool uei_data = false;
};
