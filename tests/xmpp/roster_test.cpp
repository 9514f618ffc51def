// Roster and presence between two engines through a real Prosody.
#include <gtest/gtest.h>

#include "fixtures/prosody.h"
#include "test_client.h"

namespace quillet::xmpp {
namespace {

struct Person : TestClient {
  Person(const fixtures::ProsodyServer& p, const std::string& user, const std::string& resource)
      : TestClient(p.host(), p.port(), user + "@quillet.test", "pw") {
    xmpp.SetCAFile(p.ca_file().string());
    xmpp.SetResourcename(resource);
    xmpp.OnRosterChange = [this](const std::string& jid, const std::string&,
                                 const std::string& group, TXMPPSubscription sub) {
      changes.push_back(jid + "|" + group + "|" + std::to_string(sub));
    };
    xmpp.OnSubscribe = [this](const std::string& jid, bool request) {
      subscribes.push_back(jid + (request ? "?" : "!"));
    };
    xmpp.OnPresence = [this](PXMPPPresenceRec r) {
      presences.push_back(r->Jid + "/" + r->Resource + "|" + std::to_string(r->Show) + "|" +
                          r->Status);
    };
  }
  std::vector<std::string> changes, subscribes, presences;
};

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(Roster, SubscriptionHandshakeAndPresence) {
  fixtures::ProsodyOptions o;
  o.muc = o.proxy65 = false;
  fixtures::ProsodyServer server(o);
  server.AddUser("juliet", "pw");
  server.AddUser("romeo", "pw");
  server.Start();
  Person juliet(server, "juliet", "balcony"), romeo(server, "romeo", "garden");
  ASSERT_TRUE(juliet.LogIn()) << juliet.debug;
  ASSERT_TRUE(romeo.LogIn()) << romeo.debug;
  juliet.xmpp.SendPresence();
  romeo.xmpp.SendPresence();
  // Both engines run on this thread: step them in turn.
  auto until = [&](const std::function<bool()>& cond) {
    for (int i = 0; i < 400 && !cond(); ++i) {
      juliet.loop.RunFor(std::chrono::milliseconds(5));
      romeo.loop.RunFor(std::chrono::milliseconds(5));
    }
    return cond();
  };
  const std::string r = "romeo@quillet.test", j = "juliet@quillet.test";

  juliet.xmpp.AddContact(r, "Montagues");
  ASSERT_TRUE(until([&] { return Has(romeo.subscribes, j + "?"); })) << romeo.debug;
  EXPECT_TRUE(Has(juliet.changes, r + "|Montagues|" + std::to_string(xsNone)));
  ASSERT_NE(juliet.xmpp.FindRosterEntry(r), nullptr);
  EXPECT_EQ(juliet.xmpp.FindRosterEntry(r)->Group, "Montagues");

  romeo.xmpp.SendXML("<presence to=\"" + j + "\" type=\"subscribed\"/>");
  ASSERT_TRUE(until([&] { return Has(juliet.subscribes, r + "!"); })) << juliet.debug;
  ASSERT_TRUE(until([&] { return juliet.xmpp.FindRosterEntry(r)->Subscription == xsTo; }));

  // Romeo asks back: Juliet already asked for his, so her engine approves on its own.
  romeo.xmpp.AddContact(j, "");
  ASSERT_TRUE(until([&] { return Has(romeo.subscribes, j + "!"); })) << romeo.debug;
  EXPECT_FALSE(Has(juliet.subscribes, r + "?"));
  ASSERT_TRUE(until([&] { return juliet.xmpp.FindRosterEntry(r)->Subscription == xsBoth; }));

  // Presence, and a second resource of the same account.
  romeo.xmpp.SetShow(xswAway);
  romeo.xmpp.SetStatusMessage("under <the> window & waiting");
  ASSERT_TRUE(until([&] {
    return Has(juliet.presences,
               r + "/garden|" + std::to_string(xswAway) + "|under <the> window & waiting");
  })) << juliet.debug;
  Person romeo2(server, "romeo", "orchard");
  ASSERT_TRUE(romeo2.LogIn());
  romeo2.xmpp.SetShow(xswDnD);
  ASSERT_TRUE(until([&] {
    romeo2.loop.RunFor(std::chrono::milliseconds(1));
    return Has(juliet.presences, r + "/orchard|" + std::to_string(xswDnD) + "|");
  }));
  romeo2.xmpp.Disconnect();
  ASSERT_TRUE(until([&] {
    return Has(juliet.presences, r + "/orchard|" + std::to_string(xswUnavailable) + "|");
  }));
  size_t records = 0;
  for (size_t i = 0; i < juliet.xmpp.PresenceCount(); ++i) {
    PXMPPPresenceRec p = juliet.xmpp.GetPresence(i);
    if (p->Jid != r || (p->Resource != "garden" && p->Resource != "orchard")) continue;
    ++records;  // one record per resource
    if (p->Resource == "orchard") {
      EXPECT_EQ(p->Show, xswUnavailable);
      EXPECT_EQ(p->PrevShow, xswDnD);
    }
  }
  EXPECT_EQ(records, 2u);

  // The same status again sends nothing.
  std::string sent;
  romeo.xmpp.OnSendXML = [&](const std::string& x) { sent += x; };
  romeo.xmpp.SetStatusMessage("under <the> window & waiting");
  EXPECT_EQ(sent, "");

  // Group change, then removal.
  juliet.xmpp.SetContactGroup(r, "Exiles");
  ASSERT_TRUE(until([&] { return juliet.xmpp.FindRosterEntry(r)->Group == "Exiles"; }));
  juliet.xmpp.RemoveContact(r);
  ASSERT_TRUE(until([&] { return Has(juliet.changes, r + "||" + std::to_string(xsRemove)); }));
  EXPECT_EQ(juliet.xmpp.FindRosterEntry(r), nullptr);
  EXPECT_EQ(juliet.xmpp.GetDisplayName(r, "garden"), "romeo@quillet.test/garden");
}

}  // namespace
}  // namespace quillet::xmpp
