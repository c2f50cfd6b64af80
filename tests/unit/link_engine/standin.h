// Runs sim/module.py as a subprocess and talks to its control channel.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef TV_REPO_ROOT
#error "TV_REPO_ROOT must name the repository root"
#endif

class StandIn {
 public:
  explicit StandIn(std::vector<std::string> extra = {}) {
    info_ = "/tmp/tv-standin-" + std::to_string(getpid()) + "-" + std::to_string(counter()++) + ".json";
    unlink(info_.c_str());
    std::vector<std::string> args = {"python3", std::string(TV_REPO_ROOT) + "/sim/module.py", "--tcp", "--pty",
                                     "--info", info_};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp("python3", argv.data());
      _exit(127);
    }
    std::string text;
    for (int i = 0; i < 500 && text.empty(); ++i) {
      std::ifstream in(info_);
      std::getline(in, text);
      if (text.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (text.empty()) throw std::runtime_error("stand-in did not start");
    tcpPort_ = static_cast<uint16_t>(std::stoi(field(text, "tcp_port")));
    controlPort_ = static_cast<uint16_t>(std::stoi(field(text, "control_port")));
    pty_ = field(text, "pty");
    control_ = connectTo(controlPort_);
    if (control_ < 0) throw std::runtime_error("no control channel");
  }

  ~StandIn() {
    if (control_ >= 0) close(control_);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    unlink(info_.c_str());
  }

  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  uint16_t tcpPort() const { return tcpPort_; }
  const std::string& ptyPath() const { return pty_; }
  static uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

  // One control command; returns the words after "ok" (throws on "err").
  std::vector<std::string> operator()(const std::string& command) {
    std::string line = command + "\n";
    if (write(control_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      throw std::runtime_error("control write failed");
    std::string reply;
    char c = 0;
    while (read(control_, &c, 1) == 1 && c != '\n') reply += c;
    std::istringstream words(reply);
    std::vector<std::string> out;
    std::string word;
    words >> word;
    if (word != "ok") throw std::runtime_error("stand-in refused " + command + ": " + reply);
    while (words >> word) out.push_back(word);
    return out;
  }

  // Polls a control query until `done` holds or `ms` pass.
  template <typename Done>
  std::vector<std::string> waitFor(const std::string& command, Done done, int ms = 3000) {
    auto words = (*this)(command);
    for (int waited = 0; !done(words) && waited < ms; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      words = (*this)(command);
    }
    return words;
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }

  static std::string field(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return "";
    at = json.find(':', at) + 1;
    while (json[at] == ' ' || json[at] == '"') ++at;
    size_t end = json.find_first_of(",}\"", at);
    return json.substr(at, end - at);
  }

  static int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  pid_t pid_ = -1;
  std::string info_;
  std::string pty_;
  uint16_t tcpPort_ = 0;
  uint16_t controlPort_ = 0;
  int control_ = -1;
};
