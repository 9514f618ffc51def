// An engine on its own loop, recording what it reports, for the login tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/simpleeventloop.h"
#include "xmpp/xmpp.h"

namespace quillet::xmpp {

struct TestClient {
  TestClient(const std::string& host, uint16_t port, const std::string& jid = "juliet@quillet.test",
             const std::string& password = "r0m30") {
    xmpp.SetServer(host);
    xmpp.SetPort(port);
    xmpp.SetUserName(jid);
    xmpp.SetPassword(password);
    xmpp.OnConnectionPhase = [this](int p) { phases.push_back(p); };
    xmpp.AfterAuthenticate = [this](bool ok) { auth.push_back(ok); };
    xmpp.AfterRegistered = [this](bool ok) { registered.push_back(ok); };
    xmpp.OnDisconnected = [this] { ++disconnects; };
    xmpp.OnDebug = [this](const std::string& t, bool) { debug += t + "\n"; };
  }
  bool RunUntil(std::function<bool()> cond,
                std::chrono::milliseconds t = std::chrono::seconds(15)) {
    return loop.RunUntil(std::move(cond), t);
  }
  // For conditions that change on other threads: the loop is woken only by its own work.
  bool Poll(const std::function<bool()>& cond,
            std::chrono::milliseconds t = std::chrono::seconds(15)) {
    const auto end = std::chrono::steady_clock::now() + t;
    while (!cond() && std::chrono::steady_clock::now() < end) {
      loop.RunFor(std::chrono::milliseconds(5));
    }
    return cond();
  }
  // Connects (unless already active) and waits for the login result.
  bool LogIn() {
    const size_t results = auth.size();
    const int ends = disconnects;
    if (!xmpp.Active()) xmpp.Connect();
    RunUntil([&] { return auth.size() > results || disconnects > ends; });
    return auth.size() > results && auth.back();
  }
  bool Disconnected() {
    return RunUntil([&] { return disconnects > 0; });
  }

  platform::SimpleEventLoop loop;
  TXMPP xmpp{loop};
  std::vector<int> phases;
  std::vector<bool> auth, registered;
  int disconnects = 0;
  std::string debug;
};

}  // namespace quillet::xmpp
