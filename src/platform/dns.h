// DNS lookups for server discovery, asking a given list of servers (the system's from
// /etc/resolv.conf unless the user or a test names others).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::platform {

struct DnsServer {
  std::string address;  // dotted IPv4
  uint16_t port = 53;
};

// "IP" or "IP:PORT"; none when malformed.
std::optional<DnsServer> ParseDnsServer(std::string_view text);
// The nameservers of /etc/resolv.conf (IPv4 ones), in order.
std::vector<DnsServer> SystemDnsServers(const std::string& resolv_conf = "/etc/resolv.conf");

struct SrvRecord {
  uint16_t priority = 0, weight = 0, port = 0;
  std::string target;
};

// Lowest priority, then the highest weight; the first record wins a tie. No random choice.
const SrvRecord* ChooseSrv(const std::vector<SrvRecord>& records);

struct DnsAnswer {
  enum class Status { kOk, kNoRecords, kFailed } status = Status::kFailed;
  std::vector<SrvRecord> srv;
  std::vector<std::pair<std::string, std::string>> a;  // name (no trailing dot), address
  std::string error;
};

// One query at one server (2 s, recursion desired). `type` is ns_t_srv or ns_t_a.
DnsAnswer DnsQuery(const DnsServer& server, const std::string& name, int type);

struct SrvLookup {
  bool found = false;
  std::string host;  // an address when one was known, else the target name
  uint16_t port = 0;
};

// The client service of `domain` (`_xmpp-client._tcp.` + domain): per server, in order, until a
// host is found: the chosen SRV record, its address from the same answer (or from an A query
// at that server); without SRV records, the domain's A record with `default_port`. When
// nothing is found, the domain itself with `default_port`.
SrvLookup LookupSRV(const std::string& domain, uint16_t default_port,
                    const std::vector<DnsServer>& servers);

}  // namespace quillet::platform
