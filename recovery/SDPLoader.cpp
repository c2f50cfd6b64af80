#include "recovery/SDPLoader.h"

#include <sys/types.h>

#include "app/Log.h"
#include "recovery/SDPDump.h"

namespace {

constexpr int kAliveAttempts = 5;
constexpr unsigned kReplyTimeoutMs = 100;

void sPushBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

void SDPLoader::buildCommand(std::vector<uint8_t>& out, uint16_t type, uint32_t address, uint8_t format,
                             uint32_t count) {
  out.clear();
  out.push_back(REPORT_COMMAND);
  sPushBigEndian(out, type, 2);
  sPushBigEndian(out, address, 4);
  out.push_back(format);
  sPushBigEndian(out, count, 4);
  while (out.size() < COMMAND_REPORT_SIZE) out.push_back(0);
}

bool SDPLoader::setLoader(std::unique_ptr<SDPLoader_Interface>&& transport) {
  if (!transport || m_transport) return false;
  m_transport = std::move(transport);
  return true;
}

int SDPLoader::init() {
  if (!m_transport) return 1;
  return m_transport->init() ? 0 : 6;
}

bool SDPLoader::_isConnectionAlive() {
  std::vector<uint8_t> command;
  buildCommand(command, ERROR_STATUS, 0, 0, 0);
  for (int attempt = 0; attempt < kAliveAttempts; ++attempt) {
    sdpDump(command);
    m_transport->writeData(command);
    std::vector<uint8_t> reply;
    m_transport->readData(reply, kReplyTimeoutMs);
    sdpDump(reply);
    uint32_t word = 0;
    if (m_transport->getDataFromBuffer(reply, 0, word)) return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address) {
  if (!m_transport || !_isConnectionAlive()) return 2;
  std::vector<uint8_t> packet;
  buildCommand(packet, WRITE_FILE, address, FORMAT_32BIT, static_cast<uint32_t>(image.size()));
  sdpDump(packet);
  ssize_t result = m_transport->writeData(packet);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);

  int total = 0;
  int loop = 0;
  size_t position = 0;
  while (position < image.size()) {
    // The device only speaks mid-transfer to report an error.
    std::vector<uint8_t> early;
    if (m_transport->readData(early, 0) > 0) {
      sdpDump(early);
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return 3;
    }
    size_t piece = image.size() - position < MAX_DATA_PER_REPORT ? image.size() - position : MAX_DATA_PER_REPORT;
    packet.assign(1, REPORT_DATA);
    packet.insert(packet.end(), image.begin() + static_cast<ptrdiff_t>(position),
                  image.begin() + static_cast<ptrdiff_t>(position + piece));
    sdpDump(packet);
    result = m_transport->writeData(packet);
    total += static_cast<int>(result);
    position += piece;
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", result, total, loop,
             static_cast<long>(position), static_cast<ssize_t>(packet.size()));
    ++loop;
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
  std::vector<uint8_t> reply;
  m_transport->readData(reply, kReplyTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  sdpDump(reply);
  uint32_t status = 0;
  if (m_transport->getDataFromBuffer(reply, 0, status) && status == STATUS_WRITE_COMPLETE) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return 0;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return 4;
}

void SDPLoader::startLoader(uint32_t entry) {
  if (!m_transport) return;
  std::vector<uint8_t> packet;
  buildCommand(packet, JUMP_ADDRESS, entry, 0, 0);
  sdpDump(packet);
  ssize_t result = m_transport->writeData(packet);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
  std::vector<uint8_t> reply;
  m_transport->readData(reply, kReplyTimeoutMs);
  sdpDump(reply);
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
  std::vector<uint8_t> packet;
  buildCommand(packet, READ_REGISTER, address, FORMAT_32BIT, 4);
  sdpDump(packet);
  size_t written = static_cast<size_t>(m_transport->writeData(packet));
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", written);
  std::vector<uint8_t> reply;
  ssize_t read = m_transport->readData(reply, kReplyTimeoutMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
  sdpDump(reply);
  return m_transport->getDataFromBuffer(reply, 0, value);
}

int SDPLoader::getFingerprint(uint64_t& fingerprint) {
  if (!m_transport || !_isConnectionAlive()) return 2;
  uint32_t low = 0, high = 0;
  if (!_readRegister(FUSE_FINGERPRINT_LOW, low)) return 7;
  if (!_readRegister(FUSE_FINGERPRINT_HIGH, high)) return 7;
  fingerprint = (static_cast<uint64_t>(high) << 32) | low;
  return 0;
}
