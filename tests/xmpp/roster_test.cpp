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
    xmpp.OnMessage = [this](PXMPPMessageRec m) {
      messages.push_back(m->Jid + "|" + m->Body + "|" + m->XHTML);
      stamps.push_back(m->Stamp);
    };
    xmpp.OnChatState = [this](const std::string& jid, const std::string&, TChatStates st) {
      states.push_back(jid + "|" + std::to_string(st));
    };
    xmpp.OnNudge = [this](const std::string& jid, const std::string&) { nudges.push_back(jid); };
    xmpp.OnPresence = [this](PXMPPPresenceRec r) {
      presences.push_back(r->Jid + "/" + r->Resource + "|" + std::to_string(r->Show) + "|" +
                          r->Status);
    };
  }
  std::vector<std::string> changes, subscribes, presences, messages, states, nudges;
  std::vector<double> stamps;
};

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// A private server with two accounts, both logged in and available.
class TwoEngines : public ::testing::Test {
 protected:
  void SetUp() override {
    fixtures::ProsodyOptions o;
    o.muc = o.proxy65 = false;
    o.extra_modules = {"offline"};
    server = std::make_unique<fixtures::ProsodyServer>(o);
    server->AddUser("juliet", "pw");
    server->AddUser("romeo", "pw");
    server->Start();
    juliet = std::make_unique<Person>(*server, "juliet", "balcony");
    romeo = std::make_unique<Person>(*server, "romeo", "garden");
    ASSERT_TRUE(juliet->LogIn()) << juliet->debug;
    ASSERT_TRUE(romeo->LogIn()) << romeo->debug;
    juliet->xmpp.SendPresence();
    romeo->xmpp.SendPresence();
  }
  // Both engines run on this thread: step them in turn.
  bool Until(const std::function<bool()>& cond) {
    for (int i = 0; i < 400 && !cond(); ++i) {
      juliet->loop.RunFor(std::chrono::milliseconds(5));
      romeo->loop.RunFor(std::chrono::milliseconds(5));
    }
    return cond();
  }
  std::unique_ptr<fixtures::ProsodyServer> server;
  std::unique_ptr<Person> juliet, romeo;
};

TEST_F(TwoEngines, SubscriptionHandshakeAndPresence) {
  Person& juliet = *this->juliet;
  Person& romeo = *this->romeo;
  auto until = [this](const std::function<bool()>& cond) { return Until(cond); };
  const std::string r = "romeo@quillet.test", j = "juliet@quillet.test";

  juliet.xmpp.AddContact(r, "Montagues");
  ASSERT_TRUE(until([&] {
    return Has(romeo.subscribes, j + "?") &&
           Has(juliet.changes, r + "|Montagues|" + std::to_string(xsNone));
  })) << romeo.debug;
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
  Person romeo2(*server, "romeo", "orchard");
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

TEST_F(TwoEngines, Messages) {
  Person& juliet = *this->juliet;
  Person& romeo = *this->romeo;
  auto until = [this](const std::function<bool()>& cond) { return Until(cond); };
  const std::string r = "romeo@quillet.test/garden";

  TFontSpec font;
  font.Bold = true;
  juliet.xmpp.SendChatMessage(r, "Wherefore art thou <Romeo>?", font);
  juliet.xmpp.SendChatMessage(r, "plain & simple", TFontSpec{});
  juliet.xmpp.SendChatState(r, csComposing);
  juliet.xmpp.SendNudge(r, "!");
  ASSERT_TRUE(until([&] { return romeo.nudges.size() == 1 && romeo.messages.size() == 2; }))
      << romeo.debug;
  EXPECT_EQ(romeo.messages[0].substr(0, romeo.messages[0].find('|', 30)),
            "juliet@quillet.test|Wherefore art thou <Romeo>?");
  EXPECT_NE(romeo.messages[0].find("|<span style='font-weight: bold;"), std::string::npos)
      << romeo.messages[0];  // the server writes attributes with single quotes
  EXPECT_NE(romeo.messages[0].find("Wherefore art thou &lt;Romeo&gt;?</span>"), std::string::npos);
  EXPECT_TRUE(romeo.messages[1].starts_with("juliet@quillet.test|plain & simple|"));
  EXPECT_EQ(romeo.states,
            std::vector<std::string>{"juliet@quillet.test|" + std::to_string(csComposing)});
  EXPECT_EQ(romeo.stamps[0], 0);

  // Version and disco#info, engine to engine.
  romeo.xmpp.OnVersion = [](std::string& name, std::string&, std::string&) { name = "Romeo's"; };
  std::string answers;
  juliet.xmpp.BeforeParsing = [&](const std::string& x) { answers += x; };
  juliet.xmpp.SendXML("<iq type=\"get\" to=\"" + r +
                      "\" id=\"v1\"><query xmlns=\"jabber:iq:version\"/></iq>"
                      "<iq type=\"get\" to=\"" +
                      r +
                      "\" id=\"i1\"><query xmlns=\"http://jabber.org/protocol/disco#info\"/></iq>"
                      "<iq type=\"get\" to=\"" +
                      r + "\" id=\"p1\"><ping xmlns=\"urn:xmpp:ping\"/></iq>");
  ASSERT_TRUE(until([&] {
    return answers.find("id='p1'") != std::string::npos ||
           answers.find("id=\"p1\"") != std::string::npos;
  })) << answers;
  EXPECT_NE(answers.find("<name>Romeo&apos;s</name>"), std::string::npos) << answers;
  EXPECT_NE(answers.find("jabber:iq:version"), std::string::npos);
  EXPECT_NE(answers.find(std::string(kNudgeNs)), std::string::npos);
  EXPECT_NE(answers.find("service-unavailable"), std::string::npos);

  // An offline message arrives at the next login with its original time.
  romeo.xmpp.Disconnect();
  ASSERT_TRUE(until([&] { return romeo.disconnects > 0; }));
  const double before = 25569.0 + double(time(nullptr) - 60) / 86400;
  juliet.xmpp.SendChatMessage("romeo@quillet.test", "while you were out", TFontSpec{});
  juliet.loop.RunFor(std::chrono::milliseconds(300));
  romeo.messages.clear();
  romeo.stamps.clear();
  ASSERT_TRUE(romeo.LogIn());
  romeo.xmpp.SendPresence();  // offline messages come with the first available presence
  ASSERT_TRUE(until([&] { return !romeo.messages.empty(); })) << romeo.debug;
  EXPECT_TRUE(romeo.messages[0].starts_with("juliet@quillet.test|while you were out|"));
  EXPECT_GT(romeo.stamps[0], before);
  EXPECT_LT(romeo.stamps[0], 25569.0 + double(time(nullptr) + 86400) / 86400);
}

}  // namespace
}  // namespace quillet::xmpp
