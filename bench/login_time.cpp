// Whole logins against a private Prosody on loopback: TCP, STARTTLS with the certificate
// checked against the fixture's CA, SASL (SCRAM-SHA-1 as the engine chooses it, and PLAIN
// when BeforeAuthenticate forces it), bind, session and roster, timed from Connect() to
// AfterAuthenticate(true). The anchor, in the same run and against the same server: a raw
// TCP connect, stream header, STARTTLS, TLS handshake and the header round trip after it,
// done by hand with OpenSSL (RawXmppClient). The ratio says how many such handshakes a
// whole login costs.
//
// Two servers, one after the other: Prosody as the fixture configures it, where the answer
// to the first header after the TLS 1.3 handshake waits behind Nagle for our delayed ACK
// of the session tickets (about 40 ms, in the anchor too), and the same with Nagle off,
// where the client's own share shows.
//
//   login_time [--rounds N] [--scale F]
//
// --rounds is the number of logins in each series (20); --scale shrinks it.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fixtures/prosody.h"
#include "fixtures/raw_client.h"
#include "platform/crypto.h"
#include "platform/simpleeventloop.h"
#include "xmpp/xmpp.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillet::fixtures::ProsodyOptions;
using quillet::fixtures::ProsodyServer;
using quillet::fixtures::RawXmppClient;
using quillet::xmpp::TXMPP;
using quillet::xmpp::TXMPPAuthModes;

constexpr std::string_view kUser = "juliet";
constexpr std::string_view kPassword = "r0m30";
constexpr auto kStepTimeout = std::chrono::seconds(15);

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "login_time: %s\n", why.c_str());
  std::exit(1);
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Where a login's time goes, cut at the engine's connection phases: thread started,
// first header, header on the TLS stream, header after SASL, bound (session done), and
// the roster answer that completes it.
enum Step { kTcpAndHeader, kStartTls, kSasl, kBindSession, kRoster, kSteps };
constexpr std::array<const char*, kSteps> kStepNames = {
    "TCP + first header", "STARTTLS + handshake + header", "SASL + restarted header",
    "bind + session", "roster"};

struct TLogin {
  double total_ms = 0;
  std::array<double, kSteps> step_ms{};
};

// One engine on its own loop, reused for every login of a series as an application
// would reuse it.
class TClient {
 public:
  TClient(const ProsodyServer& server, bool force_plain) {
    xmpp_.SetServer(server.host());
    xmpp_.SetPort(server.port());
    xmpp_.SetUserName(std::string(kUser) + "@" + server.domain());
    xmpp_.SetPassword(std::string(kPassword));
    xmpp_.SetSSLMode(quillet::xmpp::smRequired);
    xmpp_.SetCAFile(server.ca_file().string());
    xmpp_.AfterAuthenticate = [this](bool ok) {
      done_ = Clock::now();
      result_ = ok;
    };
    xmpp_.OnDisconnected = [this] { disconnected_ = true; };
    xmpp_.OnConnectionPhase = [this](int) { phases_.push_back(Clock::now()); };
    xmpp_.OnDebug = [this](const std::string& text, bool) { debug_ += text + "\n"; };
    xmpp_.OnSendXML = [this](const std::string& xml) {
      if (mechanism_.empty()) {
        size_t at = xml.find("mechanism=\"");
        if (at != std::string::npos) {
          at += 11;
          mechanism_ = xml.substr(at, xml.find('"', at) - at);
        }
      }
    };
    // The SCRAM iteration count, to tell the client's PBKDF2 apart from round trips.
    xmpp_.BeforeParsing = [this](const std::string& xml) {
      if (iterations_ != 0 || xml.find("<challenge") == std::string::npos) return;
      size_t b = xml.find('>', xml.find("<challenge")) + 1;
      auto first = quillet::platform::Base64Decode(xml.substr(b, xml.find("</challenge>") - b));
      if (size_t i = first ? first->find(",i=") : std::string::npos; i != std::string::npos) {
        iterations_ = uint32_t(std::atol(first->c_str() + i + 3));
      }
    };
    if (force_plain) {
      xmpp_.BeforeAuthenticate = [](TXMPPAuthModes& m) { m = quillet::xmpp::amPlain; };
    }
  }

  TLogin LogIn() {
    result_.reset();
    disconnected_ = false;
    phases_.clear();
    debug_.clear();
    mechanism_.clear();

    const auto start = Clock::now();
    xmpp_.Connect();
    loop_.RunUntil([&] { return result_.has_value() || disconnected_; }, kStepTimeout);
    if (!result_ || !*result_) Die("login failed:\n" + debug_);
    // <proceed/> handled, then started, three headers (the second on the TLS stream),
    // logged in: anything else is not the login measured here. No fingerprint is trusted,
    // so a certificate that failed the check would have ended the connection.
    if (debug_.find("Starting SSL...") == std::string::npos) Die("login without TLS:\n" + debug_);
    // The connection thread's note may be dropped with its backlog at the stream restart.
    if (debug_.find("TLS established") == std::string::npos) ++tls_notes_lost_;
    if (phases_.size() != 5) {
      Die("expected 5 connection phases, saw " + std::to_string(phases_.size()) + "\n" + debug_);
    }
    TLogin r;
    r.total_ms = Ms(done_ - start);
    r.step_ms[kTcpAndHeader] = Ms(phases_[1] - start);
    for (int s = kStartTls; s <= kBindSession; ++s) r.step_ms[s] = Ms(phases_[s + 1] - phases_[s]);
    r.step_ms[kRoster] = Ms(done_ - phases_[4]);

    xmpp_.Disconnect();
    if (!loop_.RunUntil([&] { return disconnected_; }, kStepTimeout)) {
      Die("no OnDisconnected after Disconnect()");
    }
    return r;
  }

  const std::string& mechanism() const { return mechanism_; }
  uint32_t iterations() const { return iterations_; }
  int tls_notes_lost() const { return tls_notes_lost_; }

 private:
  quillet::platform::SimpleEventLoop loop_;
  TXMPP xmpp_{loop_};
  std::optional<bool> result_;
  bool disconnected_ = false;
  Clock::time_point done_;
  std::vector<Clock::time_point> phases_;
  std::string debug_, mechanism_;
  uint32_t iterations_ = 0;
  int tls_notes_lost_ = 0;
};

// The anchor: what any XMPP client must do before it can authenticate over TLS. Cut
// like the engine's first two steps.
struct THandshake {
  double total_ms = 0;
  double header_ms = 0;  // TCP + first header
  double tls_ms = 0;     // STARTTLS + handshake + header
};

THandshake RawHandshake(const ProsodyServer& server) {
  THandshake r;
  const auto start = Clock::now();
  RawXmppClient c(server.port());
  c.OpenStream(server.domain());
  const auto header = Clock::now();
  if (long v = c.StartTls(server.ca_file(), server.domain()); v != 0) {
    Die("raw client: certificate not verified (" + std::to_string(v) + ")");
  }
  c.OpenStream(server.domain());
  const auto end = Clock::now();
  r.total_ms = Ms(end - start);
  r.header_ms = Ms(header - start);
  r.tls_ms = Ms(end - header);
  c.Send("</stream:stream>");
  return r;
}

struct TSeries {
  const char* name;
  const char* label;  // column head of the step table
  std::vector<TLogin> logins;
  std::vector<double> Totals() const {
    std::vector<double> v;
    for (const auto& l : logins) v.push_back(l.total_ms);
    return v;
  }
  double StepMedian(int s) const {
    std::vector<double> v;
    for (const auto& l : logins) v.push_back(l.step_ms[size_t(s)]);
    return Median(v);
  }
};

void PrintRow(const char* name, const std::vector<double>& ms, double anchor) {
  std::printf("%-38s %9.2f %9.2f %9.2f %8.2f\n", name, Median(ms),
              *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
              Median(ms) / anchor);
}

// One server configuration: its logins, and the anchor against the same server.
void Run(int logins, bool nagle) {
  ProsodyOptions options;
  options.muc = options.proxy65 = false;  // not needed to log in; starts faster
  // Prosody's debug log writes every stanza to disk: that would be in both figures.
  options.log_level = "info";
  if (!nagle) options.extra_global_config = "network_settings = { nagle = false }";
  ProsodyServer server(options);
  server.AddUser(kUser, kPassword);
  server.Start();

  TClient scram(server, false), plain(server, true);
  // Warm-up, not counted: Prosody loads and caches on first use.
  RawHandshake(server);
  scram.LogIn();
  plain.LogIn();
  if (scram.mechanism() != "SCRAM-SHA-1") Die("engine chose " + scram.mechanism());
  if (plain.mechanism() != "PLAIN") Die("forced PLAIN, engine sent " + plain.mechanism());
  if (scram.iterations() == 0) Die("no SCRAM iteration count seen");

  // Interleaved, so drift in the machine's load falls on all three alike, and rotated, so
  // none of them always follows the same neighbour.
  std::vector<THandshake> anchor;
  TSeries series[2] = {{"login, SCRAM-SHA-1 (engine's choice)", "SCRAM-SHA-1", {}},
                       {"login, PLAIN (BeforeAuthenticate)", "PLAIN", {}}};
  for (int i = 0; i < logins; ++i) {
    for (int k = 0; k < 3; ++k) {
      switch ((i + k) % 3) {
        case 0:
          anchor.push_back(RawHandshake(server));
          break;
        case 1:
          series[0].logins.push_back(scram.LogIn());
          break;
        default:
          series[1].logins.push_back(plain.LogIn());
      }
    }
  }
  std::vector<double> anchor_total, anchor_steps[2];
  for (const auto& h : anchor) {
    anchor_total.push_back(h.total_ms);
    anchor_steps[0].push_back(h.header_ms);
    anchor_steps[1].push_back(h.tls_ms);
  }
  const double a = Median(anchor_total);

  std::printf("Prosody %s (127.0.0.1:%u)\n",
              nagle ? "as configured by default (Nagle on)" : "with network_settings nagle = false",
              unsigned(server.port()));
  std::printf("%-38s %9s %9s %9s %8s\n", "", "median ms", "min ms", "max ms", "ratio");
  PrintRow("anchor: TCP+header+STARTTLS+header", anchor_total, a);
  for (const auto& s : series) PrintRow(s.name, s.Totals(), a);
  std::printf("median per step, ms:%19s", "");
  for (const auto& s : series) std::printf(" %13s", s.label);
  std::printf(" %13s\n", "anchor");
  for (int st = 0; st < kSteps; ++st) {
    std::printf("  %-36s", kStepNames[size_t(st)]);
    for (const auto& s : series) std::printf(" %13.2f", s.StepMedian(st));
    if (st < 2) std::printf(" %13.2f", Median(anchor_steps[st]));
    std::printf("\n");
  }
  std::vector<double> pbkdf2;
  for (int i = 0; i < logins; ++i) {
    auto t = Clock::now();
    quillet::platform::Pbkdf2(quillet::platform::Hash::kSHA1, kPassword, "0123456789abcdef",
                              scram.iterations());
    pbkdf2.push_back(Ms(Clock::now() - t));
  }
  std::printf("  (of SCRAM's SASL step, the client's PBKDF2-SHA1 of %u iterations: %.2f ms)\n",
              scram.iterations(), Median(pbkdf2));
  if (int lost = scram.tls_notes_lost() + plain.tls_notes_lost(); lost > 0) {
    std::printf("  (\"TLS established\" missing from the debug log in %d of %d logins)\n", lost,
                2 * logins + 2);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  int logins = 20;
  double scale = 1.0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if ((a == "--rounds" || a == "--scale") && i + 1 < argc) {
      if (a == "--rounds") logins = std::max(1, std::atoi(argv[++i]));
      if (a == "--scale") scale = std::atof(argv[++i]);
      if (!(scale > 0 && scale <= 1)) Die("--scale wants a number in (0, 1]");
    } else {
      Die("usage: login_time [--rounds N] [--scale F]");
    }
  }
  logins = std::max(1, int(logins * scale));
  std::printf(
      "login_time: %d logins per series, Connect() to AfterAuthenticate(true) against a "
      "private Prosody, TLS required, CA-signed certificate checked; interleaved with the "
      "anchor, after one warm-up each; ratio = median over the anchor's median "
      "(handshake-equivalents per login)\n\n",
      logins);
  try {
    Run(logins, true);
    Run(logins, false);
  } catch (const std::exception& e) {
    Die(e.what());
  }
  return 0;
}
