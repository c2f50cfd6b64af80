// A scripted HTTP server on 127.0.0.1 for the client's unit tests: each
// request target goes to a handler, whose reply is sent in the given pieces
// (with a pause between them) before the connection is closed.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/LoopbackListener.h"

struct ScriptedReply {
  int status = 200;
  std::vector<std::string> pieces;
  int delay_ms = 0;  // before anything is sent
  int pause_ms = 0;  // between pieces
};

class LoopbackServer {
 public:
  using Handler = std::function<ScriptedReply(const std::string& target)>;

  explicit LoopbackServer(Handler handler) : handler(std::move(handler)) {
    listener = tvOpenLoopbackListener(8, &port);
    worker = std::thread([this] { serve(); });
  }

  ~LoopbackServer() {
    stopping = true;
    shutdown(listener, SHUT_RDWR);
    close(listener);
    worker.join();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"; }

  std::vector<std::string> targets() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }

 private:
  void serve() {
    while (!stopping) {
      int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) return;
      std::string head;
      char buffer[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<size_t>(got));
      }
      // "GET <target> HTTP/1.1"
      size_t start = head.find(' ') + 1;
      std::string target = head.substr(start, head.find(' ', start) - start);
      {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(target);
      }
      ScriptedReply reply = handler(target);
      std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
      std::string status = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n\r\n";
      send(connection, status.data(), status.size(), MSG_NOSIGNAL);
      for (const std::string& piece : reply.pieces) {
        send(connection, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
      }
      close(connection);
    }
  }

  Handler handler;
  int listener = -1;
  uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::vector<std::string> seen;
  std::thread worker;
};
