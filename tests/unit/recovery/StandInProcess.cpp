#include "StandInProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace {

// The info file is one JSON object; these two fields are all we need.
std::string sField(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\"");
  if (at == std::string::npos) return {};
  at = json.find(':', at) + 1;
  while (at < json.size() && (json[at] == ' ' || json[at] == '"')) ++at;
  size_t end = at;
  while (end < json.size() && json[end] != '"' && json[end] != ',' && json[end] != '}') ++end;
  return json.substr(at, end - at);
}

}  // namespace

StandInProcess::StandInProcess(const std::string& script, const std::vector<std::string>& args) {
  char folder[] = "/tmp/standin-XXXXXX";
  if (mkdtemp(folder) == nullptr) return;
  m_folder = folder;
  std::string info = m_folder + "/info.json";
  std::string path = std::string(TV_SOURCE_ROOT_DIR) + "/" + script;
  std::vector<std::string> words = {"python3", path, "--info", info};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (m_pid <= 0) return;
  std::string json;
  for (int i = 0; i < 1000 && json.empty(); ++i) {
    std::ifstream file(info);
    if (file) {
      std::stringstream text;
      text << file.rdbuf();
      json = text.str();
    }
    if (json.empty()) usleep(10000);
  }
  m_pty = sField(json, "pty");
  int port = atoi(sField(json, "control_port").c_str());
  m_control = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(m_control, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) m_pty.clear();
}

StandInProcess::~StandInProcess() {
  if (m_control >= 0) close(m_control);
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
  if (!m_folder.empty()) {
    unlink((m_folder + "/info.json").c_str());
    rmdir(m_folder.c_str());
  }
}

std::string StandInProcess::control(const std::string& line) {
  std::string text = line + "\n";
  if (send(m_control, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("control channel closed");
  }
  std::string reply;
  char c = 0;
  while (recv(m_control, &c, 1, 0) == 1 && c != '\n') reply += c;
  if (reply.rfind("ok", 0) != 0) throw std::runtime_error("stand-in refused [" + line + "]: " + reply);
  return reply.size() > 3 ? reply.substr(3) : std::string();
}

std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}
