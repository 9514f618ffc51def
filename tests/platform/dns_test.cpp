// Server discovery against a private dnsmasq.
#include "platform/dns.h"

#include <arpa/nameser.h>
#include <gtest/gtest.h>

#include "fixtures/dns.h"
#include "fixtures/process.h"

namespace quillet::platform {
namespace {

struct ChooseCase {
  std::vector<SrvRecord> records;
  const char* winner;
};

TEST(Dns, ChooseSrv) {
  const ChooseCase cases[] = {
      {{{10, 0, 1, "ten"}, {5, 0, 1, "five"}}, "five"},
      {{{5, 10, 1, "light"}, {5, 60, 1, "heavy"}}, "heavy"},
      {{{5, 60, 1, "first"}, {5, 60, 1, "second"}}, "first"},
      {{{1, 0, 1, "low"}, {2, 99, 1, "heavy-but-later"}}, "low"},
  };
  for (const auto& c : cases) {
    for (int round = 0; round < 3; ++round) EXPECT_EQ(ChooseSrv(c.records)->target, c.winner);
  }
  EXPECT_EQ(ChooseSrv({}), nullptr);
}

TEST(Dns, ParseDnsServer) {
  EXPECT_EQ(ParseDnsServer("127.0.0.1")->port, 53);
  EXPECT_EQ(ParseDnsServer("127.0.0.1:5353")->port, 5353);
  for (const char* bad : {"", "localhost", "127.0.0.1:", "127.0.0.1:0", "1.2.3.4:70000", "::1"}) {
    EXPECT_FALSE(ParseDnsServer(bad)) << bad;
  }
}

TEST(Dns, LookupSRV) {
  fixtures::DnsServer dns;
  dns.AddSrv("_xmpp-client._tcp.srv.test", "slow.srv.test", 5300, 10, 0);
  dns.AddSrv("_xmpp-client._tcp.srv.test", "xmpp.srv.test", 5299, 5, 10);
  dns.AddSrv("_xmpp-client._tcp.srv.test", "heavy.srv.test", 5298, 5, 60);
  dns.AddHost("heavy.srv.test", "127.0.0.7");
  dns.AddHost("plain.test", "127.0.0.9");  // no SRV records, only an address
  dns.Start();
  DnsServer server = *ParseDnsServer(dns.server());

  SrvLookup srv = LookupSRV("srv.test", 5222, {server});
  EXPECT_TRUE(srv.found);
  EXPECT_EQ(srv.host, "127.0.0.7");  // the address, not the name
  EXPECT_EQ(srv.port, 5298);

  SrvLookup a = LookupSRV("plain.test", 5222, {server});
  EXPECT_TRUE(a.found);
  EXPECT_EQ(a.host, "127.0.0.9");
  EXPECT_EQ(a.port, 5222);

  SrvLookup none = LookupSRV("nothing.test", 5223, {server});
  EXPECT_FALSE(none.found);
  EXPECT_EQ(none.host, "nothing.test");
  EXPECT_EQ(none.port, 5223);

  // No servers at all, and a dead one ahead of the live one.
  EXPECT_EQ(LookupSRV("srv.test", 5222, {}).host, "srv.test");
  DnsServer dead{"127.0.0.1", fixtures::FreeUdpPort()};
  SrvLookup after_dead = LookupSRV("srv.test", 5222, {dead, server});
  EXPECT_TRUE(after_dead.found);
  EXPECT_EQ(after_dead.port, 5298);
}

TEST(Dns, SystemDnsServersFromResolvConf) {
  fixtures::TempDir dir("dns");
  std::string path = dir.path().string() + "/resolv.conf";
  {
    FILE* f = fopen(path.c_str(), "w");
    fputs(
        "# comment\nsearch example.test\nnameserver 127.0.0.53\nnameserver ::1\n"
        "nameserver 127.0.0.2\n",
        f);
    fclose(f);
  }
  auto servers = SystemDnsServers(path);
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].address, "127.0.0.53");
  EXPECT_EQ(servers[1].address, "127.0.0.2");
  EXPECT_TRUE(SystemDnsServers(path + ".missing").empty());
}

}  // namespace
}  // namespace quillet::platform
