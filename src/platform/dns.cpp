#include "platform/dns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace quillet::platform {

std::optional<DnsServer> ParseDnsServer(std::string_view text) {
  DnsServer s;
  size_t colon = text.find(':');
  s.address = std::string(text.substr(0, colon));
  in_addr addr{};
  if (inet_pton(AF_INET, s.address.c_str(), &addr) != 1) return std::nullopt;
  if (colon != std::string_view::npos) {
    std::string_view p = text.substr(colon + 1);
    unsigned port = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), port);
    if (ec != std::errc() || end != p.data() + p.size() || port == 0 || port > 65535) {
      return std::nullopt;
    }
    s.port = uint16_t(port);
  }
  return s;
}

std::vector<DnsServer> SystemDnsServers(const std::string& resolv_conf) {
  std::vector<DnsServer> out;
  std::ifstream in(resolv_conf);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (words >> key >> value && key == "nameserver") {
      if (auto s = ParseDnsServer(value)) out.push_back(*s);
    }
  }
  return out;
}

const SrvRecord* ChooseSrv(const std::vector<SrvRecord>& records) {
  const SrvRecord* best = nullptr;
  for (const auto& r : records) {
    if (!best || r.priority < best->priority ||
        (r.priority == best->priority && r.weight > best->weight)) {
      best = &r;
    }
  }
  return best;
}

namespace {

std::string WithoutDot(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> AddressOf(const DnsAnswer& answer, const std::string& name) {
  for (const auto& [n, addr] : answer.a) {
    if (SameName(n, WithoutDot(name))) return addr;
  }
  return std::nullopt;
}

}  // namespace

DnsAnswer DnsQuery(const DnsServer& server, const std::string& name, int type) {
  DnsAnswer out;
  struct __res_state st {};
  if (res_ninit(&st) != 0) {
    out.error = "resolver initialisation failed";
    return out;
  }
  // Only the server asked for; nothing from the system's list.
  st.nscount = 1;
  sockaddr_in& sa = st.nsaddr_list[0];
  sa = sockaddr_in{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(server.port);
  inet_pton(AF_INET, server.address.c_str(), &sa.sin_addr);
  st._u._ext.nscount = 0;
  st.retrans = 2;
  st.retry = 1;
  st.options |= RES_RECURSE;

  std::vector<unsigned char> buf(65536);
  int len = res_nquery(&st, name.c_str(), ns_c_in, type, buf.data(), int(buf.size()));
  int herr = st.res_h_errno;
  res_nclose(&st);
  if (len < 0) {
    if (herr == HOST_NOT_FOUND || herr == NO_DATA) {
      out.status = DnsAnswer::Status::kNoRecords;
    } else {
      out.error = "no answer from " + server.address + ":" + std::to_string(server.port);
    }
    return out;
  }
  ns_msg msg;
  if (ns_initparse(buf.data(), len, &msg) != 0) {
    out.error = "malformed answer";
    return out;
  }
  for (ns_sect section : {ns_s_an, ns_s_ar}) {
    for (int i = 0; i < ns_msg_count(msg, section); ++i) {
      ns_rr rr;
      if (ns_parserr(&msg, section, i, &rr) != 0) continue;
      const unsigned char* rd = ns_rr_rdata(rr);
      if (ns_rr_type(rr) == ns_t_srv && ns_rr_rdlen(rr) > 6) {
        char target[NS_MAXDNAME];
        if (ns_name_uncompress(ns_msg_base(msg), ns_msg_end(msg), rd + 6, target, sizeof target) <
            0) {
          continue;
        }
        SrvRecord r;
        r.priority = ns_get16(rd);
        r.weight = ns_get16(rd + 2);
        r.port = ns_get16(rd + 4);
        r.target = WithoutDot(target);
        out.srv.push_back(std::move(r));
      } else if (ns_rr_type(rr) == ns_t_a && ns_rr_rdlen(rr) == 4) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, rd, addr, sizeof addr);
        out.a.emplace_back(WithoutDot(ns_rr_name(rr)), addr);
      }
    }
  }
  bool wanted = type == ns_t_srv ? !out.srv.empty() : !out.a.empty();
  out.status = wanted ? DnsAnswer::Status::kOk : DnsAnswer::Status::kNoRecords;
  return out;
}

SrvLookup LookupSRV(const std::string& domain, uint16_t default_port,
                    const std::vector<DnsServer>& servers) {
  const std::string service = "_xmpp-client._tcp." + domain;
  for (const auto& server : servers) {
    DnsAnswer srv = DnsQuery(server, service, ns_t_srv);
    if (srv.status == DnsAnswer::Status::kFailed) continue;
    if (srv.status == DnsAnswer::Status::kOk) {
      const SrvRecord* best = ChooseSrv(srv.srv);
      SrvLookup found{true, best->target, best->port};
      if (auto addr = AddressOf(srv, best->target)) {
        found.host = *addr;
      } else {
        // Ask the same server rather than the system's resolver for the target's address.
        DnsAnswer a = DnsQuery(server, best->target, ns_t_a);
        if (auto addr2 = AddressOf(a, best->target)) found.host = *addr2;
      }
      return found;
    }
    DnsAnswer a = DnsQuery(server, domain, ns_t_a);
    if (a.status == DnsAnswer::Status::kFailed) continue;
    if (auto addr = AddressOf(a, domain)) return {true, *addr, default_port};
  }
  return {false, domain, default_port};
}

}  // namespace quillet::platform
