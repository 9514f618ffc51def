#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace quillet::testing {

using Clock = std::chrono::steady_clock;

namespace {
constexpr auto kStepTimeout = std::chrono::seconds(10);
}

ScriptedServer::ScriptedServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 1) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error(std::string("scripted server: ") + std::strerror(errno));
  }
  port_ = ntohs(a.sin_port);
}

ScriptedServer::~ScriptedServer() {
  ::shutdown(listen_fd_, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    if (client_fd_ >= 0) ::shutdown(client_fd_, SHUT_RDWR);
  }
  if (thread_.joinable()) thread_.join();
  if (client_fd_ >= 0) ::close(client_fd_);
  ::close(listen_fd_);
}

ScriptedServer& ScriptedServer::Expect(std::string text, std::string reply) {
  std::string r = std::move(reply);
  return ExpectThen(std::move(text), [r](const std::string&) { return r; });
}

ScriptedServer& ScriptedServer::ExpectThen(std::string text, Reply reply) {
  steps_.push_back({Step::kExpect, std::move(text), std::move(reply)});
  return *this;
}

ScriptedServer& ScriptedServer::Send(std::string text, size_t piece) {
  steps_.push_back({Step::kSend, std::move(text), {}, piece});
  return *this;
}

ScriptedServer& ScriptedServer::Close() {
  steps_.push_back({Step::kClose, {}, {}});
  return *this;
}

void ScriptedServer::Start() {
  thread_ = std::thread([this] { Run(); });
}

bool ScriptedServer::ReadMore(int fd, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, int(left.count())) <= 0) return false;
  char buf[4096];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n <= 0) {
    std::lock_guard lock(mutex_);
    client_closed_ = true;
    cv_.notify_all();
    return false;
  }
  std::lock_guard lock(mutex_);
  received_.append(buf, size_t(n));
  return true;
}

void ScriptedServer::Run() {
  auto fail = [this](std::string why) {
    std::lock_guard lock(mutex_);
    error_ = std::move(why);
    done_ = true;
    cv_.notify_all();
  };
  pollfd p{listen_fd_, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return fail("no client connected");
  int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return fail("accept failed");
  {
    std::lock_guard lock(mutex_);
    client_fd_ = fd;
  }
  size_t matched_to = 0;
  for (size_t i = 0; i < steps_.size(); ++i) {
    Step& s = steps_[i];
    if (s.kind == Step::kExpect) {
      const auto deadline = Clock::now() + kStepTimeout;
      size_t at;
      for (;;) {
        {
          std::lock_guard lock(mutex_);
          at = received_.find(s.text, matched_to);
        }
        if (at != std::string::npos) break;
        if (!ReadMore(fd, deadline)) {
          std::lock_guard lock(mutex_);
          return fail("step " + std::to_string(i) + ": never received " + s.text + "\nreceived:\n" +
                      received_.substr(matched_to));
        }
      }
      std::string since;
      {
        std::lock_guard lock(mutex_);
        since = received_.substr(matched_to, at + s.text.size() - matched_to);
      }
      matched_to = at + s.text.size();
      std::string reply = s.reply ? s.reply(since) : std::string();
      if (!reply.empty() && ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
        return fail("send failed");
      }
    } else if (s.kind == Step::kSend) {
      size_t piece = s.piece ? s.piece : s.text.size();
      for (size_t off = 0; off < s.text.size(); off += piece) {
        size_t n = std::min(piece, s.text.size() - off);
        if (::send(fd, s.text.data() + off, n, MSG_NOSIGNAL) < 0) return fail("send failed");
      }
    } else {
      ::shutdown(fd, SHUT_RDWR);
    }
  }
  {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }
  // Keep collecting until the client goes away.
  while (ReadMore(fd, Clock::now() + kStepTimeout)) {
  }
  std::lock_guard lock(mutex_);
  client_closed_ = true;
  cv_.notify_all();
}

bool ScriptedServer::Finish(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [this] { return done_; })) {
    error_ = "script did not finish";
    return false;
  }
  return error_.empty();
}

bool ScriptedServer::WaitForClientClose(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return client_closed_; });
}

std::string ScriptedServer::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string ScriptedServer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

}  // namespace quillet::testing
