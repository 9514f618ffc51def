// The connection thread's hand-over: one message in flight, in order, acknowledged.
#include "xmpp/socketthread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/simpleeventloop.h"
#include "scripted_server.h"

namespace quillet::xmpp {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedServer;

const std::string kHeader =
    "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s1'>";

// Records every message; acknowledges only when told to.
struct Engine {
  Engine()
      : target(loop, [this](uint32_t code, platform::Payload p) {
          auto m = p.Take<TSocketMessage>();
          std::string what = std::to_string(code - WM_USER);
          if (m && m->stanza) what += ":" + m->stanza->Name + m->stanza->GetAttribute("id");
          if (m && m->has_text && code == XM_CONNECTED) what += ":" + m->text;
          got.push_back(what);
        }) {}
  TSocketConfig Config(uint16_t port) {
    TSocketConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.stream_domain = "quillet.test";
    return c;
  }
  bool WaitFor(size_t n, std::chrono::milliseconds t = 5s) {
    return loop.RunUntil([&] { return got.size() >= n; }, t);
  }
  platform::SimpleEventLoop loop;
  platform::MessageTarget target;
  std::vector<std::string> got;
};

const std::string kStarted = "0", kUp = "1", kEnded = "2", kRaw = "4";

TEST(SocketThread, OneMessageInFlightUntilAcknowledged) {
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + "<iq id='a'/><iq id='b'/><iq id='c'/>");
  s.Start();
  Engine e;
  TSocketThread t(e.target.GetPoster(), 1, e.Config(s.port()));
  t.Start();
  // Started and connected are posted at once; then the raw text waits for their acks.
  ASSERT_TRUE(e.WaitFor(2));
  e.loop.RunFor(50ms);
  EXPECT_EQ(e.got, (std::vector<std::string>{kStarted, kUp}));
  t.Acknowledge();
  t.Acknowledge();
  const std::vector<std::string> rest = {kRaw, "1:s1", "3:iqa", "3:iqb", "3:iqc"};
  for (size_t i = 0; i < rest.size(); ++i) {
    ASSERT_TRUE(e.WaitFor(3 + i)) << i;
    e.loop.RunFor(20ms);
    ASSERT_EQ(e.got.size(), 3 + i) << "more than one message in flight";
    EXPECT_EQ(e.got.back(), rest[i]);
    t.Acknowledge();
  }
}

TEST(SocketThread, RestartDropsTheBacklogAndOmitsTheDeclaration) {
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + "<iq id='a'/><iq id='b'/>")
      .Expect("version=\"1.0\">", kHeader + "<iq id='after'/>");
  s.Start();
  Engine e;
  TSocketThread t(e.target.GetPoster(), 1, e.Config(s.port()));
  t.Start();
  ASSERT_TRUE(e.WaitFor(2));
  t.Acknowledge();
  t.Acknowledge();
  ASSERT_TRUE(e.WaitFor(3));  // raw text in flight; header and two stanzas wait
  t.RequestRestart();
  e.loop.RunFor(50ms);
  t.Acknowledge();
  // The new stream's messages follow; the old backlog is gone.
  for (size_t n = 4; n <= 6; ++n) {
    ASSERT_TRUE(e.WaitFor(n)) << n;
    t.Acknowledge();
  }
  EXPECT_EQ(e.got, (std::vector<std::string>{kStarted, kUp, kRaw, kRaw, "1:s1", "3:iqafter"}));
  std::string sent = s.received();
  EXPECT_EQ(sent.find("<?xml"), 0u);
  EXPECT_EQ(sent.find("<?xml", 1), std::string::npos);
}

TEST(SocketThread, ConnectTimeoutEndsWithoutConnected) {
  // A listener whose accept queue is full: further connection attempts are never answered.
  int l = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(l, 0), 0);
  ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  Engine e;
  TSocketConfig c = e.Config(ntohs(a.sin_port));
  c.connect_timeout = 300ms;
  TSocketThread t(e.target.GetPoster(), 1, c);
  t.Start();
  ASSERT_TRUE(e.WaitFor(2, 5s));
  EXPECT_EQ(e.got, (std::vector<std::string>{kStarted, kEnded}));
  for (int f : fillers) ::close(f);
  ::close(l);
}

}  // namespace
}  // namespace quillet::xmpp
