#include "recovery/Serial_SDPLoader.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "app/Log.h"
#include "link/core/aTime.h"

struct PrivateSerial_SDPLoader {
  int fd = 0;  // 0 while closed
  std::string path;
  termios settings{};
};

Serial_SDPLoader::Serial_SDPLoader(const std::string& path) : m_private(new PrivateSerial_SDPLoader) {
  m_private->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader() {
  if (m_private->fd > 0) {
    tcflush(m_private->fd, TCIOFLUSH);
    close(m_private->fd);
    m_private->fd = 0;
  }
}

bool Serial_SDPLoader::init() {
  PrivateSerial_SDPLoader& p = *m_private;
  if (p.fd > 0) return true;
  int fd = open(p.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == 0) {  // 0 means closed here: move off descriptor 0
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    fd = moved;
  }
  if (fd < 0) {
    Log::log(DEBUG_iMXSerial, "Could not open [%s]: errno %d\n", p.path.c_str(), errno);
    return false;
  }
  if (!isatty(fd) || tcgetattr(fd, &p.settings) != 0) {
    Log::log(DEBUG_iMXSerial, "[%s] is not a terminal\n", p.path.c_str());
    close(fd);
    return false;
  }
  termios& t = p.settings;
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  if (tcsetattr(fd, TCSAFLUSH, &t) != 0) {
    close(fd);
    return false;
  }
  p.fd = fd;
  aTime_MSSleep(1000);
  tcflush(fd, TCIOFLUSH);
  return true;
}

int Serial_SDPLoader::writeData(const std::vector<uint8_t>& data) {
  PrivateSerial_SDPLoader& p = *m_private;
  if (p.fd <= 0 || data.size() < 2) return 0;
  const uint8_t* next = data.data() + 1;  // the report id does not travel on a serial line
  size_t left = data.size() - 1;
  size_t sent = 0;
  uint32_t lastProgress = aTime_GetMSTicks();
  while (left > 0) {
    ssize_t n = write(p.fd, next, left);
    if (n > 0) {
      next += n;
      left -= static_cast<size_t>(n);
      sent += static_cast<size_t>(n);
      lastProgress = aTime_GetMSTicks();
      continue;
    }
    if (aTime_GetMSTicks() - lastProgress >= WRITE_STALL_LIMIT_MS) {
      Log::log(DEBUG_iMXSerial, "Serial write gave up: %zu of %zu bytes sent\n", sent, data.size() - 1);
      break;
    }
    aTime_MSSleep(1);
  }
  return static_cast<int>(sent);
}

int Serial_SDPLoader::readData(std::vector<uint8_t>& data, unsigned timeoutMs) {
  PrivateSerial_SDPLoader& p = *m_private;
  if (p.fd <= 0) return 0;
  aTime_MSSleep(timeoutMs);
  int count = 0;
  uint8_t byte = 0;
  while (read(p.fd, &byte, 1) == 1) {
    data.push_back(byte);
    ++count;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) {
  if (index > 15 || reply.size() < (index + 2) * 4) return false;
  value = static_cast<uint32_t>(reply[index + 4]) | static_cast<uint32_t>(reply[index + 5]) << 8 |
          static_cast<uint32_t>(reply[index + 6]) << 16 | static_cast<uint32_t>(reply[index + 7]) << 24;
  return true;
}
