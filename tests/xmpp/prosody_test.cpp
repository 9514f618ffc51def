// The engine against a real Prosody the test starts itself.
#include "fixtures/prosody.h"

#include <gtest/gtest.h>

#include <functional>

#include "fixtures/dns.h"
#include "test_client.h"

namespace quillet::xmpp {
namespace {

using fixtures::AuthBackend;
using fixtures::ProsodyOptions;
using fixtures::ProsodyServer;
using fixtures::ServerCertificate;
using fixtures::TlsMode;

// Options changed from the defaults by `edit`.
ProsodyOptions With(const std::function<void(ProsodyOptions&)>& edit) {
  ProsodyOptions o;
  edit(o);
  return o;
}

std::unique_ptr<ProsodyServer> StartProsody(ProsodyOptions o = {}) {
  o.muc = o.proxy65 = false;  // not needed for logging in; starts faster
  auto p = std::make_unique<ProsodyServer>(o);
  p->AddUser("juliet", "r0m30");
  p->Start();
  return p;
}

std::unique_ptr<TestClient> ClientFor(const ProsodyServer& p, TSSLMode mode = smWhenPossible) {
  auto c = std::make_unique<TestClient>(p.host(), p.port());
  c->xmpp.SetSSLMode(mode);
  c->xmpp.SetCAFile(p.ca_file().string());
  return c;
}

struct ModeCase {
  const char* name;
  TlsMode server;
  TSSLMode client;
  bool logs_in;
  bool encrypted;
};

TEST(Prosody, LoginWithEachTlsPolicy) {
  auto required = StartProsody(With([](auto& o) { o.tls = TlsMode::Required; }));
  auto optional = StartProsody(With([](auto& o) { o.tls = TlsMode::Optional; }));
  auto off = StartProsody(With([](auto& o) { o.tls = TlsMode::Off; }));
  const ModeCase cases[] = {
      {"required/when possible", TlsMode::Required, smWhenPossible, true, true},
      {"required/required", TlsMode::Required, smRequired, true, true},
      {"required/none", TlsMode::Required, smNone, false, false},
      {"optional/none", TlsMode::Optional, smNone, true, false},
      {"optional/when possible", TlsMode::Optional, smWhenPossible, true, true},
      {"off/when possible", TlsMode::Off, smWhenPossible, true, false},
      {"off/required", TlsMode::Off, smRequired, false, false},
  };
  for (const auto& k : cases) {
    ProsodyServer& server = k.server == TlsMode::Required   ? *required
                            : k.server == TlsMode::Optional ? *optional
                                                            : *off;
    auto c = ClientFor(server, k.client);
    EXPECT_EQ(c->LogIn(), k.logs_in) << k.name << "\n" << c->debug;
    EXPECT_EQ(c->debug.find("TLS established") != std::string::npos, k.encrypted) << k.name;
    if (k.logs_in) {
      EXPECT_EQ(c->xmpp.FullJid(), "juliet@quillet.test/quillet1");
      c->xmpp.Disconnect();
    }
    EXPECT_TRUE(c->Disconnected()) << k.name;
  }
}

struct MechanismCase {
  AuthBackend backend;
  TXMPPAuthModes forced;  // amNone: the engine's own choice
  const char* expect_sent;
};

TEST(Prosody, EachMechanism) {
  auto hashed = StartProsody(With([](auto& o) { o.auth = AuthBackend::Hashed; }));
  auto plain = StartProsody(With([](auto& o) { o.auth = AuthBackend::Plain; }));
  const MechanismCase cases[] = {
      {AuthBackend::Hashed, amNone, "mechanism=\"SCRAM-SHA-1\""},
      {AuthBackend::Plain, amNone, "mechanism=\"SCRAM-SHA-256\""},
      {AuthBackend::Hashed, amPlain, "mechanism=\"PLAIN\""},
      {AuthBackend::Plain, amScramSha1, "mechanism=\"SCRAM-SHA-1\""},
  };
  for (const auto& k : cases) {
    auto c = ClientFor(k.backend == AuthBackend::Hashed ? *hashed : *plain);
    std::string sent;
    c->xmpp.OnSendXML = [&](const std::string& x) { sent += x; };
    if (k.forced != amNone) {
      c->xmpp.BeforeAuthenticate = [&](TXMPPAuthModes& m) { m = k.forced; };
    }
    EXPECT_TRUE(c->LogIn()) << k.expect_sent << "\n" << c->debug;
    EXPECT_NE(sent.find(k.expect_sent), std::string::npos) << sent;
    c->xmpp.Disconnect();
    c->Disconnected();
  }
}

TEST(Prosody, WrongPasswordFailsAndDisconnects) {
  auto p = StartProsody();
  TestClient c(p->host(), p->port(), "juliet@quillet.test", "wrong");
  c.xmpp.SetCAFile(p->ca_file().string());
  EXPECT_FALSE(c.LogIn());
  EXPECT_EQ(c.auth, std::vector<bool>{false});
  EXPECT_TRUE(c.Disconnected());
  EXPECT_NE(c.debug.find("Authentication failed: not-authorized"), std::string::npos) << c.debug;
}

TEST(Prosody, CreateAccountThenLogIn) {
  auto p = StartProsody(With([](auto& o) { o.allow_registration = true; }));
  TestClient reg(p->host(), p->port(), "romeo@quillet.test", "<&\"'>pass");  // escaped on the wire
  reg.xmpp.SetCAFile(p->ca_file().string());
  reg.xmpp.SetRegisterAsNewUser(true);
  reg.xmpp.Connect();
  ASSERT_TRUE(reg.RunUntil([&] { return !reg.registered.empty() || reg.disconnects; }))
      << reg.debug;
  ASSERT_EQ(reg.registered, std::vector<bool>{true}) << reg.debug;
  reg.xmpp.Disconnect();
  reg.Disconnected();

  TestClient again(p->host(), p->port(), "romeo@quillet.test", "<&\"'>pass");
  again.xmpp.SetCAFile(p->ca_file().string());
  EXPECT_TRUE(again.LogIn()) << again.debug;

  // The same name twice is refused.
  TestClient twice(p->host(), p->port(), "romeo@quillet.test", "x");
  twice.xmpp.SetCAFile(p->ca_file().string());
  twice.xmpp.SetRegisterAsNewUser(true);
  twice.xmpp.Connect();
  twice.RunUntil([&] { return !twice.registered.empty() || twice.disconnects; });
  EXPECT_EQ(twice.registered, std::vector<bool>{false});
}

TEST(Prosody, ServerFoundBySrv) {
  auto p = StartProsody();
  fixtures::DnsServer dns;
  dns.AddSrv("_xmpp-client._tcp.quillet.test", "far.quillet.test", 9, 20, 100);
  dns.AddSrv("_xmpp-client._tcp.quillet.test", "xmpp.quillet.test", p->port(), 10, 5);
  dns.AddHost("xmpp.quillet.test", "127.0.0.1");
  dns.Start();

  TestClient c("unused.invalid", 1);
  c.xmpp.SetCAFile(p->ca_file().string());
  c.xmpp.SetUseDNSSrv(true);
  c.xmpp.SetDNSServers({*platform::ParseDnsServer(dns.server())});
  EXPECT_TRUE(c.LogIn()) << c.debug;
  EXPECT_NE(c.debug.find("Found SRV: 127.0.0.1 " + std::to_string(p->port())), std::string::npos)
      << c.debug;
}

TEST(Prosody, CertificateForAnotherHostIsRefusedUnlessTrusted) {
  auto p = StartProsody(With([](auto& o) { o.certificate = ServerCertificate::OtherHost; }));
  auto refused = ClientFor(*p);
  EXPECT_FALSE(refused->LogIn());
  EXPECT_TRUE(refused->auth.empty());
  EXPECT_NE(refused->debug.find("Certificate does not match host: "), std::string::npos)
      << refused->debug;
  EXPECT_NE(refused->debug.find(p->cert_fingerprint()), std::string::npos);

  auto trusted = ClientFor(*p);
  trusted->xmpp.SetTrustedFingerprint(p->cert_fingerprint());
  EXPECT_TRUE(trusted->LogIn()) << trusted->debug;
  EXPECT_NE(trusted->debug.find("trusted by its fingerprint"), std::string::npos);
}

TEST(Prosody, ServerKilledMidSession) {
  auto p = StartProsody();
  auto c = ClientFor(*p);
  ASSERT_TRUE(c->LogIn()) << c->debug;
  p->Kill();
  EXPECT_TRUE(c->Disconnected()) << c->debug;
  EXPECT_FALSE(c->xmpp.Active());
  EXPECT_EQ(c->disconnects, 1);
  // And the engine can go again once the server is back.
  p->Start();
  EXPECT_TRUE(c->LogIn()) << c->debug;
}

}  // namespace
}  // namespace quillet::xmpp
