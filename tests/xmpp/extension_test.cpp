// Extension components: their list, their hooks, and handlers across reconnects.
#include <gtest/gtest.h>

#include "fixtures/prosody.h"
#include "test_client.h"

namespace quillet::xmpp {
namespace {

const char kVersionPath[] = "/iq[@type=\"result\"]/query[@xmlns=\"jabber:iq:version\"]";

struct Component : TXMPPExtension {
  explicit Component(bool on_login) : register_on_login(on_login) {}
  void DoLoggedIn() override {
    ++logged_in;
    if (register_on_login) Register();
  }
  void DoDisconnected() override { ++disconnected; }
  void Register() {
    XMPP()->RegisterXML(kVersionPath, xml::TXMLHandler::Of<&Component::OnVersion>(this));
  }
  void OnVersion(xml::TXMLObject&) { ++answers; }
  void OnListen(uint8_t, void*, xml::TXMLObject*) { ++notified; }

  bool register_on_login;
  int logged_in = 0, disconnected = 0, answers = 0, notified = 0;
};

TEST(Extension, ListsAndListeners) {
  platform::SimpleEventLoop loop;
  TXMPP a(loop), b(loop);
  Component x(true), y(true);
  x.SetXMPP(&a);
  y.SetXMPP(&a);
  x.SetXMPP(&a);  // again: still one entry, now at the end
  EXPECT_EQ(a.Extensions(), (std::vector<TXMPPExtension*>{&y, &x}));
  x.SetXMPP(&b);
  EXPECT_EQ(a.Extensions(), std::vector<TXMPPExtension*>{&y});
  EXPECT_EQ(b.Extensions(), std::vector<TXMPPExtension*>{&x});
  {
    Component gone(false);
    gone.SetXMPP(&b);
  }
  EXPECT_EQ(b.Extensions().size(), 1u);

  a.AddListener(kListenLoggedIn, TXMPPListener::Of<&Component::OnListen>(&y));
  a.AddListener(kListenLoggedIn, TXMPPListener::Of<&Component::OnListen>(&y));
  a.AddListener(kListenPresence, TXMPPListener::Of<&Component::OnListen>(&y));
  a.NotifyListeners(kListenLoggedIn, nullptr, nullptr);
  EXPECT_EQ(y.notified, 1);
}

TEST(Extension, HandlersRegisteredAtLoginSurviveReconnects) {
  fixtures::ProsodyOptions o;
  o.muc = o.proxy65 = false;
  fixtures::ProsodyServer server(o);
  server.AddUser("juliet", "r0m30");
  server.Start();

  TestClient c(server.host(), server.port());
  c.xmpp.SetCAFile(server.ca_file().string());
  Component every_login(true), once(false);
  every_login.SetXMPP(&c.xmpp);
  once.SetXMPP(&c.xmpp);
  once.Register();  // before the first connection only

  auto ask_version = [&] {
    c.xmpp.SendXML("<iq type=\"get\" to=\"quillet.test\" id=\"" + c.xmpp.NextId() +
                   "\"><query xmlns=\"jabber:iq:version\"/></iq>");
    return c.RunUntil([&] { return every_login.answers == int(c.auth.size()); });
  };
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(c.LogIn()) << c.debug;
    EXPECT_EQ(every_login.logged_in, round);
    EXPECT_TRUE(ask_version());
    c.xmpp.Disconnect();
    ASSERT_TRUE(c.Disconnected());
    EXPECT_EQ(every_login.disconnected, round);
    EXPECT_EQ(once.disconnected, round);
    c.disconnects = 0;
  }
  EXPECT_EQ(every_login.answers, 2);
  EXPECT_EQ(once.answers, 1);  // its registration went with the first connection
}

}  // namespace
}  // namespace quillet::xmpp
