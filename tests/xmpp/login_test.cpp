// The login against a scripted server: every mechanism, the TLS policies, odd servers.
#include <gtest/gtest.h>

#include "scripted_server.h"
#include "test_client.h"
#include "xmpp/sasl.h"
#include "xmpp/xmpp.h"

namespace quillet::xmpp {
namespace {

using namespace std::chrono_literals;
using testing::ScriptedServer;

const std::string kHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
    "xmlns:stream='http://etherx.jabber.org/streams' id='c2s_4711' from='quillet.test' "
    "version='1.0'>";

std::string Features(std::string inner) {
  return "<stream:features>" + inner + "</stream:features>";
}
std::string Mechanisms(std::initializer_list<const char*> names) {
  std::string out = "<mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>";
  for (const char* n : names) out += std::string("<mechanism>") + n + "</mechanism>";
  return out + "</mechanisms>";
}
const std::string kBindFeatures = Features(
    "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"
    "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'><optional/></session>");

// The id attribute of the last iq in `text`.
std::string IdOf(const std::string& text) {
  size_t at = text.rfind("id=\"");
  if (at == std::string::npos) return {};
  at += 4;
  return text.substr(at, text.find('"', at) - at);
}

ScriptedServer::Reply Result(std::string inner = {}) {
  return [inner](const std::string& got) {
    return "<iq type='result' id='" + IdOf(got) + "'>" + inner + "</iq>";
  };
}

// Bind, session and roster after a successful SASL exchange.
void ScriptBindToRoster(ScriptedServer& s, const std::string& roster_items = {}) {
  s.Expect("<stream:stream", kHeader + kBindFeatures)
      .ExpectThen("</bind></iq>",
                  Result("<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>juliet@quillet.test/"
                         "home</jid></bind>"))
      .ExpectThen("xmpp-session\"/></iq>", Result())
      .ExpectThen("<query xmlns=\"jabber:iq:roster\"/></iq>",
                  Result("<query xmlns='jabber:iq:roster'>" + roster_items + "</query>"));
}

// The whole login of a server that offers PLAIN only and no TLS.
void ScriptPlainLogin(ScriptedServer& s, const std::string& roster_items = {}) {
  s.Expect("version=\"1.0\">", kHeader + Features(Mechanisms({"PLAIN"})))
      .Expect("</auth>", "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
  ScriptBindToRoster(s, roster_items);
}

struct Client : TestClient {
  explicit Client(uint16_t port) : TestClient("127.0.0.1", port) {}
  bool LoggedIn() { return LogIn(); }
};

TEST(Login, PlainWithoutTlsWhenTheServerHasNone) {
  ScriptedServer s;
  ScriptPlainLogin(s);
  s.Start();
  Client c(s.port());
  c.xmpp.Connect();
  ASSERT_TRUE(c.LoggedIn()) << c.debug << s.error();
  EXPECT_TRUE(s.Finish()) << s.error();
  EXPECT_EQ(c.phases, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(c.xmpp.Resourcename(), "home");
  EXPECT_EQ(c.xmpp.FullJid(), "juliet@quillet.test/home");
  EXPECT_TRUE(c.xmpp.LoggedIn());

  std::string sent = s.received();
  EXPECT_TRUE(sent.starts_with(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><stream:stream to=\"quillet.test\""));
  size_t second = sent.find("<stream:stream", 10);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(sent.substr(second - 9, 9), "UTF-8\"?>");  // the restart has no declaration
  EXPECT_NE(sent.find("mechanism=\"PLAIN\">" + PlainCredentials("juliet", "quillet.test", "r0m30")),
            std::string::npos);

  c.xmpp.Disconnect();
  EXPECT_TRUE(c.Disconnected());
  EXPECT_TRUE(s.WaitForClientClose());
  EXPECT_TRUE(s.received().ends_with("</stream:stream>"));
}

TEST(Login, DigestMD5IsPreferredOverPlain) {
  const std::string challenge = platform::Base64Encode(
      "realm=\"quillet.test\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",charset=utf-8,"
      "algorithm=md5-sess");
  std::string response;
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + Features(Mechanisms({"PLAIN", "DIGEST-MD5"})))
      .Expect("mechanism=\"DIGEST-MD5\"/>",
              "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" + challenge + "</challenge>")
      .ExpectThen(
          "</response>",
          [&](const std::string& got) {
            size_t b = got.find("sasl\">") + 6;
            response =
                platform::Base64Decode(got.substr(b, got.find("</response>") - b)).value_or("");
            return "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" +
                   platform::Base64Encode("rspauth=ea40f60335c427b5527b84dbabcdfffd") +
                   "</challenge>";
          })
      .Expect("<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"/>",
              "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
  ScriptBindToRoster(s);
  s.Start();
  Client c(s.port());
  c.xmpp.Connect();
  ASSERT_TRUE(c.LoggedIn()) << c.debug << s.error();

  // The server checks the response as RFC 2831 says.
  auto d = ParseDigestDirectives(response);
  DigestMD5Params p{
      "juliet",   "quillet.test",     "r0m30", "OA6MG9tEQGm2hh", DigestDirective(d, "cnonce"),
      "00000001", "xmpp/quillet.test"};
  EXPECT_EQ(DigestDirective(d, "response"), DigestMD5ResponseValue(p));
  EXPECT_EQ(DigestDirective(d, "username"), "juliet");
  EXPECT_EQ(DigestDirective(d, "digest-uri"), "xmpp/quillet.test");
  EXPECT_EQ(DigestDirective(d, "nc"), "00000001");
  // Thread, header, two challenges, success (a third step), header after SASL, logged in.
  EXPECT_EQ(c.phases, (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(Login, BeforeAuthenticateMayChooseTheMechanism) {
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + Features(Mechanisms({"PLAIN", "DIGEST-MD5"})))
      .Expect("mechanism=\"PLAIN\">", "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
  ScriptBindToRoster(s);
  s.Start();
  Client c(s.port());
  c.xmpp.BeforeAuthenticate = [](TXMPPAuthModes& m) { m = amPlain; };
  c.xmpp.Connect();
  EXPECT_TRUE(c.LoggedIn()) << c.debug << s.error();
}

struct NonSaslCase {
  const char* fields;
  const char* expect;
};

TEST(Login, QueryBasedLogin) {
  const NonSaslCase cases[] = {
      {"<username/><digest/><resource/>",
       // SHA-1 of the stream id followed by the password
       "<resource>quillet1</resource><digest>"},
      {"<username/><password/>", "<password>r0m30</password>"},
  };
  for (const auto& k : cases) {
    ScriptedServer s;
    s.Expect("version=\"1.0\">",
             kHeader + Features("<auth xmlns='http://jabber.org/features/iq-auth'/>"))
        .Expect(
            "<iq id=\"authnonsasl\" type=\"get\"><query xmlns=\"jabber:iq:auth\"><username>"
            "juliet</username></query></iq>",
            std::string("<iq type='result' id='authnonsasl'><query xmlns='jabber:iq:auth'>") +
                k.fields + "</query></iq>")
        .Expect(k.expect)
        .Expect("</iq>", "<iq type='result' id='authset'/>")
        .ExpectThen("jabber:iq:roster\"/></iq>", Result("<query xmlns='jabber:iq:roster'/>"));
    s.Start();
    Client c(s.port());
    c.xmpp.Connect();
    EXPECT_TRUE(c.LoggedIn()) << k.fields << "\n" << c.debug << s.error();
    if (std::string(k.fields).find("digest") != std::string::npos) {
      EXPECT_NE(s.received().find("<digest>" + platform::Sha1Hex("c2s_4711r0m30") + "</digest>"),
                std::string::npos);
    }
  }
}

struct RefusalCase {
  const char* name;
  std::string features;
  TSSLMode mode;
  std::function<void(TXMPPAuthModes&)> choose;
};

TEST(Login, ClientClosesTheStreamWhenItCannotGoOn) {
  const RefusalCase cases[] = {
      {"TLS required, none offered", Features(Mechanisms({"PLAIN"})), smRequired, {}},
      {"TLS off, server requires it",
       Features("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/></starttls>"),
       smNone,
       {}},
      {"no mechanism we know", Features(Mechanisms({"X-OAUTH2"})), smWhenPossible, {}},
      {"chosen mode not offered", Features(Mechanisms({"PLAIN"})), smWhenPossible,
       [](TXMPPAuthModes& m) { m = amNonSasl; }},
  };
  for (const auto& k : cases) {
    ScriptedServer s;
    s.Expect("version=\"1.0\">", kHeader + k.features).Expect("</stream:stream>").Close();
    s.Start();
    Client c(s.port());
    c.xmpp.SetSSLMode(k.mode);
    c.xmpp.BeforeAuthenticate = k.choose;
    c.xmpp.Connect();
    EXPECT_TRUE(c.Disconnected()) << k.name << c.debug;
    EXPECT_TRUE(s.Finish()) << k.name << ": " << s.error();
    EXPECT_TRUE(c.auth.empty()) << k.name;
    EXPECT_EQ(s.received().find("<auth"), std::string::npos) << k.name;
  }
}

TEST(Login, WrongPasswordThenCleanDisconnect) {
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + Features(Mechanisms({"PLAIN"})))
      .Expect("</auth>",
              "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>")
      .Expect("</stream:stream>", "</stream:stream>")
      .Close();
  s.Start();
  Client c(s.port());
  c.xmpp.Connect();
  ASSERT_TRUE(c.Disconnected()) << s.error();
  EXPECT_EQ(c.auth, std::vector<bool>{false});
  EXPECT_NE(c.debug.find("Authentication failed: not-authorized"), std::string::npos);
  EXPECT_FALSE(c.xmpp.Active());
}

TEST(Login, ScramServerWithoutThePasswordIsRefused) {
  ScriptedServer s;
  s.Expect("version=\"1.0\">", kHeader + Features(Mechanisms({"PLAIN", "SCRAM-SHA-1"})))
      .ExpectThen("</auth>",
                  [](const std::string& got) {
                    size_t b = got.find("SCRAM-SHA-1\">") + 13;
                    std::string first =
                        platform::Base64Decode(got.substr(b, got.find("</auth>") - b)).value_or("");
                    std::string nonce = first.substr(first.find("r=") + 2);
                    return "<challenge xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" +
                           platform::Base64Encode("r=" + nonce + "srv,s=QSXCR+Q6sek8bf92,i=4096") +
                           "</challenge>";
                  })
      .Expect("</response>", "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" +
                                 platform::Base64Encode("v=rmF9pqV8S7suAoZWja4dJRkFsKQ=") +
                                 "</success>")
      .Expect("</stream:stream>")
      .Close();
  s.Start();
  Client c(s.port());
  c.xmpp.Connect();
  ASSERT_TRUE(c.Disconnected()) << s.error();
  EXPECT_EQ(c.auth, std::vector<bool>{false});
  EXPECT_NE(c.debug.find("server signature does not match"), std::string::npos) << c.debug;
  EXPECT_EQ(s.received().find("<bind"), std::string::npos);
}

TEST(Login, StreamCutAtEveryByteStillLogsIn) {
  ScriptedServer s;
  s.Send(kHeader + Features(Mechanisms({"PLAIN"})), 1)
      .Expect("</auth>", "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
  ScriptBindToRoster(s);
  s.Start();
  Client c(s.port());
  c.xmpp.Connect();
  EXPECT_TRUE(c.LoggedIn()) << c.debug << s.error();
}

TEST(Login, BrokenServers) {
  {
    ScriptedServer s;  // a header in the wrong namespace
    s.Expect(
        "version=\"1.0\">",
        "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams'>");
    s.Start();
    Client c(s.port());
    std::string raw;
    c.xmpp.BeforeParsing = [&](const std::string& t) { raw += t; };
    c.xmpp.Connect();
    EXPECT_TRUE(c.Disconnected());
    EXPECT_NE(c.debug.find("wrong namespaces"), std::string::npos) << c.debug;
  }
  {
    ScriptedServer s;  // closes in the middle of a stanza
    s.Expect("version=\"1.0\">", kHeader + "<stream:features><mechan").Close();
    s.Start();
    Client c(s.port());
    c.xmpp.Connect();
    EXPECT_TRUE(c.Disconnected());
    EXPECT_NE(c.debug.find("server closed the connection"), std::string::npos) << c.debug;
  }
  {
    Client c(1);  // nobody listens there
    c.xmpp.SetServer("127.0.0.1");
    c.xmpp.Connect();
    EXPECT_TRUE(c.Disconnected());
    EXPECT_EQ(c.phases, std::vector<int>{1});
  }
}

TEST(RosterRules, ItemsPresencesAndApprovals) {
  ScriptedServer s;
  ScriptPlainLogin(s,
                   "<item jid='n@x' subscription='none'/>"
                   "<item jid='t@x' subscription='to' name='Tee'/>"
                   "<item jid='f@x' subscription='from'/>"
                   "<item jid='b@x' subscription='both'><group>One</group><group>Two</group></item>"
                   "<item jid='u@x'/>"
                   "<item jid='alice%example.net@gw.x' subscription='both'/>"
                   "<item jid='bob%example.net@gw.x' subscription='both'/>");
  s.Send(
       "<iq type='set' id='p1'><query xmlns='jabber:iq:roster'><item jid='n@x' "
       "subscription='remove'/></query></iq>"
       "<iq type='set' id='p2' from='evil@y'><query xmlns='jabber:iq:roster'><item jid='evil@y' "
       "subscription='both'/></query></iq>"
       "<presence from='b@x/one'><show>dnd</show><status>busy</status>"
       "<nick xmlns='http://jabber.org/protocol/nick'>Bee</nick></presence>"
       "<presence from='b@x/one' type='error'/>")
      .Expect("<iq type='get' id='go'/>",
              "<presence from='t@x' type='subscribe'/>"
              "<presence from='f@x' type='subscribe'/>"
              "<presence from='u@x' type='subscribe'/>"
              "<presence from='gw.x' type='subscribe'/>");
  s.Start();
  Client c(s.port());
  std::vector<std::string> subscribes;
  c.xmpp.OnSubscribe = [&](const std::string& jid, bool req) {
    subscribes.push_back(jid + (req ? "?" : "!"));
  };
  c.xmpp.IsGateway = [](const std::string& domain) { return domain == "gw.x"; };
  ASSERT_TRUE(c.LoggedIn()) << c.debug << s.error();
  c.xmpp.AddServiceJid("gw.x");  // as the server's service discovery would
  c.xmpp.SendXML("<iq type='get' id='go'/>");
  ASSERT_TRUE(c.RunUntil([&] { return !subscribes.empty() && c.xmpp.PresenceCount() == 1; }));
  c.loop.RunFor(std::chrono::milliseconds(100));

  const auto& x = c.xmpp;
  EXPECT_EQ(x.FindRosterEntry("n@x"), nullptr);  // removed by the push
  EXPECT_EQ(x.FindRosterEntry("t@x")->Subscription, xsTo);
  EXPECT_EQ(x.FindRosterEntry("f@x")->Subscription, xsFrom);
  EXPECT_EQ(x.FindRosterEntry("b@x")->Subscription, xsBoth);
  EXPECT_EQ(x.FindRosterEntry("b@x")->Group, "One");
  EXPECT_EQ(x.FindRosterEntry("u@x")->Subscription, xsUnknown);
  EXPECT_EQ(x.FindRosterEntry("evil@y"), nullptr);  // a push from another entity

  PXMPPPresenceRec p = x.GetPresence(0);
  EXPECT_EQ(p->Show, xswError);
  EXPECT_EQ(p->PrevShow, xswDnD);
  EXPECT_EQ(p->Status, "busy");  // an error leaves status and nick
  EXPECT_EQ(x.GetDisplayName("b@x", "one"), "Bee");
  EXPECT_EQ(x.GetDisplayName("t@x", ""), "Tee");
  EXPECT_EQ(x.GetDisplayName("alice%example.net@gw.x", "r"), "alice@example.net/r");
  EXPECT_EQ(x.GatewayDisplayJid("alice%example.net@other.x"), "alice%example.net@other.x");

  // Only f@x is asked about: t@x and the gateway are approved, u@x is left alone.
  EXPECT_EQ(subscribes, std::vector<std::string>{"f@x?"});
  std::string sent = s.received();
  EXPECT_NE(sent.find("<presence to=\"t@x\" type=\"subscribed\"/>"), std::string::npos);
  EXPECT_NE(sent.find("<presence to=\"gw.x\" type=\"subscribed\"/><presence to=\"gw.x\"/>"),
            std::string::npos);
  EXPECT_EQ(sent.find("to=\"f@x\" type=\"subscribed\""), std::string::npos);

  c.xmpp.OnSendXML = [&](const std::string& xml) { sent = xml; };
  c.xmpp.RemoveContact("gw.x");
  EXPECT_NE(sent.find("jid=\"bob%example.net@gw.x\""), std::string::npos);
  c.xmpp.AddContact("a\"b@x", "<g>");
  EXPECT_NE(sent.find("<item jid=\"a&quot;b@x\"><group>&lt;g&gt;</group></item>"),
            std::string::npos);
  EXPECT_NE(sent.find("<presence to=\"a&quot;b@x\" type=\"subscribe\"/>"), std::string::npos);
}

TEST(Messages, InboundKindsAndAutomaticAnswers) {
  const std::string nudge = "<nudge xmlns='" + std::string(kNudgeNs) + "'/>";
  ScriptedServer s;
  ScriptPlainLogin(s);
  s.Send(
       "<message from='b@x/r' type='chat'><composing "
       "xmlns='http://jabber.org/protocol/chatstates'/></message>"
       "<message from='b@x/r' type='normal'><body>plain</body>" +
       nudge +
       "</message>"
       "<message from='b@x/r' type='chat'><body>shake</body>" +
       nudge +
       "</message>"
       "<message from='b@x/r' type='chat'><html xmlns='http://jabber.org/protocol/xhtml-im'>"
       "<body xmlns='http://www.w3.org/1999/xhtml'><p>only "
       "<b>formatted</b></p></body></html></message>"
       "<message from='c@x' type='chat'><body>old</body><delay xmlns='urn:xmpp:delay' "
       "stamp='2007-01-01T12:00:00Z'/></message>"
       "<iq type='get' from='b@x/r' id='ping1'><ping xmlns='urn:xmpp:ping'/></iq>"
       "<iq type='get' from='b@x/r' id='d1'><query xmlns='http://jabber.org/protocol/disco#info' "
       "node='n#1'/></iq>"
       "<iq type='get' from='b@x/r'><query xmlns='jabber:iq:version'/></iq>")
      .Expect("<os>Linux</os></query></iq>");
  s.Start();
  Client c(s.port());
  std::vector<std::string> events;
  c.xmpp.OnChatState = [&](const std::string& j, const std::string& r, TChatStates st) {
    events.push_back("state " + j + "/" + r + " " + std::to_string(st));
  };
  c.xmpp.OnNudge = [&](const std::string& j, const std::string&) {
    events.push_back("nudge " + j);
  };
  c.xmpp.OnMessage = [&](PXMPPMessageRec m) {
    events.push_back("message " + m->MsgType + " [" + m->Body + "] [" + m->XHTML + "]" +
                     (m->Stamp > 0 ? " delayed" : ""));
  };
  ASSERT_TRUE(c.LoggedIn()) << c.debug;
  ASSERT_TRUE(c.Poll([&] { return s.received().find("<os>Linux</os>") != std::string::npos; }))
      << s.received();
  EXPECT_EQ(events, (std::vector<std::string>{
                        "state b@x/r " + std::to_string(csComposing),
                        "message normal [plain] []",
                        "nudge b@x",
                        "message chat [] [<p>only <b>formatted</b></p>]",
                        "message chat [old] [] delayed",
                    }));
  std::string sent = s.received();
  EXPECT_NE(sent.find("<iq type=\"error\" id=\"ping1\" to=\"b@x/r\"><ping xmlns=\"urn:xmpp:ping\"/>"
                      "<error code=\"503\" type=\"cancel\"><service-unavailable "
                      "xmlns=\"urn:ietf:params:xml:ns:xmpp-stanzas\"/></error></iq>"),
            std::string::npos)
      << sent;
  EXPECT_NE(sent.find("<iq type=\"result\" id=\"d1\" to=\"b@x/r\"><query "
                      "xmlns=\"http://jabber.org/protocol/disco#info\" node=\"n#1\"><identity "
                      "category=\"client\" type=\"pc\"/><feature "
                      "var=\"http://jabber.org/protocol/disco#info\"/>"),
            std::string::npos)
      << sent;
  EXPECT_NE(sent.find("<iq type=\"result\" to=\"b@x/r\"><query xmlns=\"jabber:iq:version\"><name>"
                      "quillet1</name>"),
            std::string::npos);
  // Answered requests get no error as well.
  EXPECT_EQ(sent.find("type=\"error\" id=\"d1\""), std::string::npos);
}

TEST(Engine, PropertiesAndIds) {
  platform::SimpleEventLoop loop;
  TXMPP x(loop);
  x.SetUserName("quillet.test");
  EXPECT_EQ(x.User(), "");
  EXPECT_EQ(x.Domain(), "quillet.test");
  EXPECT_THROW(x.Connect(), EXMPPException);  // no user part
  EXPECT_THROW(x.Disconnect(), EXMPPException);
  EXPECT_THROW(x.SendXML("<presence/>"), EXMPPException);
  x.SetServer("");
  x.SetUserName("a@b");
  try {
    x.Connect();
    FAIL();
  } catch (const EXMPPException& e) {
    EXPECT_STREQ(e.what(), "No host defined");
  }

  ScriptedServer s;
  s.Start();
  x.SetServer("127.0.0.1");
  x.SetPort(s.port());
  x.Connect();
  EXPECT_THROW(x.SetPassword("x"), EXMPPException);
  std::string a = x.NextId(), b = x.NextId();
  EXPECT_EQ(a.size(), 8u);
  EXPECT_EQ(a.substr(0, 7), b.substr(0, 7));
  EXPECT_EQ(a[6], '_');
  EXPECT_TRUE(std::islower(a[0]) && std::islower(a[1]));
  EXPECT_EQ(a.substr(7), "1");
  EXPECT_EQ(b.substr(7), "2");
  x.Disconnect();
  x.Connect();
  EXPECT_EQ(x.NextId().substr(7), "1");
  x.Disconnect();
}

}  // namespace
}  // namespace quillet::xmpp
