// quillet-cli against a private Prosody: login, register, raw, and how failures look.
#include <functional>

#include "cli_run.h"
#include "fixtures/dns.h"
#include "fixtures/prosody.h"

namespace quillet::cli {
namespace {

using fixtures::ProsodyOptions;
using fixtures::ProsodyServer;

class CliProsody : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ProsodyOptions o;
    o.allow_registration = true;
    o.muc = o.proxy65 = false;
    server_ = new ProsodyServer(o);
    server_->AddUser("juliet", "r0m30");
    server_->Start();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static std::string Account(const std::string& jid = "juliet@quillet.test",
                             const std::string& password = "r0m30") {
    return "--jid '" + jid + "' --password '" + password + "' --server 127.0.0.1 --port " +
           std::to_string(server_->port()) + " --ca-file '" + server_->ca_file().string() + "'";
  }
  static ProsodyServer* server_;
};
ProsodyServer* CliProsody::server_ = nullptr;

TEST_F(CliProsody, LoginPrintsTheBoundJid) {
  CliResult r = Cli(Account() + " --resource desk login");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.lines, std::vector<std::string>{
                         "{\"event\":\"logged-in\",\"jid\":\"juliet@quillet.test/desk\"}"});
}

TEST_F(CliProsody, FailuresExitWithTheReason) {
  CliResult wrong = Cli(Account("juliet@quillet.test", "nope") + " login");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(wrong.out.empty());
  EXPECT_EQ(wrong.err, "quillet-cli: Authentication failed: not-authorized\n");

  CliResult untrusted =
      Cli("--jid juliet@quillet.test --password r0m30 --server 127.0.0.1 --port " +
          std::to_string(server_->port()) + " login");
  EXPECT_EQ(untrusted.status, 1);
  EXPECT_NE(untrusted.err.find("Certificate not trusted"), std::string::npos) << untrusted.err;

  CliResult trusted = Cli("--jid juliet@quillet.test --password r0m30 --server 127.0.0.1 --port " +
                          std::to_string(server_->port()) + " --trust-fingerprint " +
                          server_->cert_fingerprint() + " login");
  EXPECT_EQ(trusted.status, 0) << trusted.err;

  CliResult tls_off = Cli(Account() + " --tls none login");
  EXPECT_EQ(tls_off.status, 1);
  EXPECT_NE(tls_off.err.find("Server requires TLS"), std::string::npos) << tls_off.err;

  EXPECT_EQ(Cli("--jid nobody login").status, 1);
  EXPECT_EQ(Cli(Account() + " --port 0 login").status, 1);
  EXPECT_EQ(Cli(Account() + " --tls sometimes login").status, 1);
}

TEST_F(CliProsody, RegisterThenLogin) {
  CliResult r = Cli(Account("mercutio@quillet.test", "queen mab") + " register");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.lines, std::vector<std::string>{
                         "{\"event\":\"registered\",\"jid\":\"mercutio@quillet.test\"}"});
  EXPECT_EQ(Cli(Account("mercutio@quillet.test", "queen mab") + " login").status, 0);
  CliResult again = Cli(Account("mercutio@quillet.test", "other") + " register");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("Registration refused: conflict"), std::string::npos) << again.err;
}

TEST_F(CliProsody, RawPrintsTheAnswer) {
  CliResult r = Cli(Account() +
                    " raw \"<iq type='get' to='quillet.test' id='v1'><query "
                    "xmlns='jabber:iq:version'/></iq>\" --seconds 2");
  EXPECT_EQ(r.status, 0) << r.err;
  bool answered = false;
  for (const auto& l : r.lines) {
    answered |=
        l.find("\"id\":\"v1\"") != std::string::npos &&
        l.find("\"type\":\"result\"") != std::string::npos &&
        l.find("{\"name\":\"name\",\"attributes\":{},\"text\":\"Prosody\"") != std::string::npos;
  }
  EXPECT_TRUE(answered) << r.out;
}

TEST_F(CliProsody, FindsTheServerBySrv) {
  fixtures::DnsServer dns;
  dns.AddSrv("_xmpp-client._tcp.quillet.test", "xmpp.quillet.test", server_->port(), 0, 0);
  dns.AddHost("xmpp.quillet.test", "127.0.0.1");
  dns.Start();
  CliResult r = Cli("--jid juliet@quillet.test --password r0m30 --srv --dns-server " +
                    dns.server() + " --ca-file '" + server_->ca_file().string() + "' login");
  EXPECT_EQ(r.status, 0) << r.err;
}

// A running quillet-cli whose lines are read as they come.
struct Background {
  explicit Background(const std::string& args) {
    pipe = popen((std::string(QUILLET_CLI) + " " + args + " 2>/dev/null").c_str(), "r");
  }
  ~Background() {
    if (pipe) pclose(pipe);
  }
  // Reads lines until one contains `text`; false at the end of the output.
  bool WaitFor(const std::string& text) {
    char buf[8192];
    while (pipe && fgets(buf, sizeof buf, pipe)) {
      lines.emplace_back(buf);
      if (lines.back().find(text) != std::string::npos) return true;
    }
    return false;
  }
  FILE* pipe = nullptr;
  std::vector<std::string> lines;
};

TEST_F(CliProsody, EchoAnswersAndListenShowsIt) {
  server_->AddUser("romeo", "pw");
  Background echo(Account("romeo@quillet.test", "pw") + " echo --seconds 8");
  ASSERT_TRUE(echo.WaitFor("\"listening\""));
  Background listen(Account() + " --resource ear listen --seconds 8");
  ASSERT_TRUE(listen.WaitFor("\"listening\""));

  // The echo answers the sending resource.
  CliResult asked = Cli(Account() +
                        " --resource mouth raw \"<message to='romeo@quillet.test' type='chat'>"
                        "<body>but soft &amp; quiet</body></message>\" --seconds 3");
  EXPECT_EQ(asked.status, 0) << asked.err;
  ASSERT_TRUE(echo.WaitFor("\"event\":\"message\""));
  EXPECT_NE(echo.lines.back().find("\"from\":\"juliet@quillet.test/mouth\",\"type\":\"chat\","
                                   "\"body\":\"but soft & quiet\""),
            std::string::npos)
      << echo.lines.back();
  bool echoed = false;
  for (const auto& l : asked.lines) {
    echoed |= l.find("\"from\":\"romeo@quillet.test/quillet1\"") != std::string::npos &&
              l.find("\"text\":\"but soft & quiet\"") != std::string::npos;
  }
  EXPECT_TRUE(echoed) << asked.out;

  // `send` from the other account reaches the listener.
  CliResult sent = Cli(Account("romeo@quillet.test", "pw") +
                       " --resource pen send juliet@quillet.test/ear '<wherefore>'");
  EXPECT_EQ(sent.status, 0) << sent.err;
  ASSERT_TRUE(listen.WaitFor("\"event\":\"message\""));
  EXPECT_NE(listen.lines.back().find("\"from\":\"romeo@quillet.test/pen\",\"type\":\"chat\","
                                     "\"body\":\"<wherefore>\""),
            std::string::npos)
      << listen.lines.back();

  CliResult roster = Cli(Account() + " roster");
  EXPECT_EQ(roster.status, 0) << roster.err;
}

TEST_F(CliProsody, ContactsAndVersion) {
  CliResult added = Cli(Account() + " add tybalt@quillet.test Capulets");
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.lines, std::vector<std::string>{
                             "{\"event\":\"roster\",\"jid\":\"tybalt@quillet.test\",\"group\":"
                             "\"Capulets\",\"subscription\":\"none\"}"});
  CliResult moved = Cli(Account() + " group tybalt@quillet.test Dead");
  EXPECT_EQ(moved.status, 0) << moved.err;
  CliResult roster = Cli(Account() + " roster");
  ASSERT_EQ(roster.status, 0) << roster.err;
  bool listed = false;
  for (const auto& l : roster.lines) {
    listed |= l.find("\"jid\":\"tybalt@quillet.test\",\"name\":\"\",\"group\":\"Dead\"") !=
              std::string::npos;
  }
  EXPECT_TRUE(listed) << roster.out;
  CliResult removed = Cli(Account() + " remove tybalt@quillet.test");
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_NE(removed.out.find("\"subscription\":\"remove\""), std::string::npos);
  EXPECT_EQ(Cli(Account() + " remove tybalt@quillet.test").status, 1);

  CliResult version = Cli(Account() + " version quillet.test");
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_NE(version.out.find("\"name\":\"Prosody\""), std::string::npos) << version.out;
  EXPECT_EQ(Cli(Account() + " add").status, 1);
}

}  // namespace
}  // namespace quillet::cli
