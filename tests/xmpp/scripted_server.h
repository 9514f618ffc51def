// A loopback server that plays a script against one client connection, for what no real
// server offers: DIGEST-MD5, the query-based login, odd headers, streams cut anywhere.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillet::testing {

class ScriptedServer {
 public:
  // Given what the client sent since the last step matched; returns what to send back.
  using Reply = std::function<std::string(const std::string& received)>;

  ScriptedServer();
  ~ScriptedServer();

  uint16_t port() const { return port_; }

  // Waits until the client has sent `text` (looked for in what arrived after the previous
  // Expect), then sends `reply` (may be empty).
  ScriptedServer& Expect(std::string text, std::string reply = {});
  ScriptedServer& ExpectThen(std::string text, Reply reply);
  // Sends without waiting; `piece` > 0 writes it that many bytes at a time.
  ScriptedServer& Send(std::string text, size_t piece = 0);
  // Closes the connection.
  ScriptedServer& Close();

  void Start();
  // Waits until the script has run to its end (or failed); true when every step passed.
  bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until the client closes its side after the script, collecting what it sent.
  bool WaitForClientClose(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  std::string error() const;
  // Everything the client sent.
  std::string received() const;

 private:
  struct Step {
    enum Kind { kExpect, kSend, kClose } kind;
    std::string text;
    Reply reply;
    size_t piece = 0;
  };
  void Run();
  bool ReadMore(int fd, std::chrono::steady_clock::time_point deadline);

  int listen_fd_ = -1;
  int client_fd_ = -1;
  uint16_t port_ = 0;
  std::vector<Step> steps_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool client_closed_ = false;
  std::string error_;
  std::string received_;
};

}  // namespace quillet::testing
