// Runs one of the Python chip stand-ins of sim/ as a child process and
// speaks its line-based TCP control channel.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class StandInProcess {
 public:
  // `script` is relative to the source tree, e.g. "sim/lpc_isp.py".
  explicit StandInProcess(const std::string& script, const std::vector<std::string>& args = {});
  ~StandInProcess();
  StandInProcess(const StandInProcess&) = delete;
  StandInProcess& operator=(const StandInProcess&) = delete;

  bool running() const { return m_pid > 0 && !m_pty.empty(); }
  const std::string& pty() const { return m_pty; }
  // Sends one control line; returns the text after "ok " or throws on "err".
  std::string control(const std::string& line);

 private:
  pid_t m_pid = -1;
  int m_control = -1;
  std::string m_pty;
  std::string m_folder;
};

std::vector<unsigned char> fromHex(const std::string& hex);
