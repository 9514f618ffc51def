// quillet-cli: the engine from the command line. One JSON object per line on stdout,
// human messages on stderr, exit status 0 on success and 1 with a one-line reason.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/json.h"
#include "platform/simpleeventloop.h"
#include "xml/parser.h"
#include "xmpp/xmpp.h"

namespace {

using namespace std::chrono_literals;
using quillet::xml::StreamReader;
using quillet::xml::TXMLObject;
using quillet::xmpp::TXMPP;

const char kUsage[] =
    "usage: quillet-cli [OPTIONS] COMMAND [ARGS]\n"
    "options:\n"
    "  --jid USER@DOMAIN          the account\n"
    "  --password P | --password-file F\n"
    "  --server HOST --port N     where to connect (default: the account's domain, 5222)\n"
    "  --tls none|auto|required   STARTTLS policy (default auto)\n"
    "  --ca-file PEM              trusted CAs instead of the system's\n"
    "  --trust-fingerprint SHA256 accept this server certificate although it does not verify\n"
    "  --srv                      find the server by DNS SRV\n"
    "  --dns-server IP[:PORT]     DNS server for --srv (repeatable; default /etc/resolv.conf)\n"
    "  --resource R               resource to bind (default quillet1)\n"
    "  --timeout SECONDS          give up a login after this long (default 30)\n"
    "  --home DIR                 keep all files under DIR\n"
    "  --debug                    engine progress and traffic on stderr\n"
    "commands:\n"
    "  parse FILE                 print a captured inbound stream (- for standard input) as\n"
    "                             JSON lines: the stream header, then every stanza\n"
    "  login                      log in, print {\"event\":\"logged-in\",\"jid\":...}, log out\n"
    "  register                   create the account in-band\n"
    "  raw XML [--seconds N]      log in, send one stanza, print what arrives for N seconds\n"
    "  roster                     print the contacts, one line each\n"
    "  send JID TEXT              send a chat message\n"
    "  add JID [GROUP]            add a contact and ask for its presence\n"
    "  remove JID                 remove a contact (a gateway JID: all its contacts)\n"
    "  group JID GROUP            move a contact to another group\n"
    "  nudge JID                  nudge a contact\n"
    "  version JID                ask a JID for its software version\n"
    "  listen [--seconds N]       print every message, chat state, nudge, presence,\n"
    "                             subscription and roster event (default 60 s)\n"
    "  echo [--seconds N]         like listen, answering chat messages with their body and\n"
    "                             approving subscription requests\n";

int Fail(const std::string& reason) {
  std::fprintf(stderr, "quillet-cli: %s\n", reason.c_str());
  return 1;
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string StanzaLine(const TXMLObject& e, bool content = true, const char* event = "stanza") {
  std::string line = std::string("{\"event\":\"") + event + "\",";
  quillet::cli::AppendElementFields(line, e, content);
  return line + "}";
}

class JsonLines : public StreamReader::Sink {
 public:
  bool OnHeader(const TXMLObject& root) override {
    // The header is printed without content: the stanzas that came with it follow.
    PrintLine(StanzaLine(root, false, "stream"));
    return true;
  }
  void OnStanza(std::unique_ptr<TXMLObject> stanza) override { PrintLine(StanzaLine(*stanza)); }
};

int Parse(const std::string& file) {
  std::ifstream in_file;
  std::istream* in = &std::cin;
  if (file != "-") {
    in_file.open(file, std::ios::binary);
    if (!in_file) return Fail("cannot open " + file + ": " + std::strerror(errno));
    in = &in_file;
  }
  StreamReader reader;
  JsonLines sink;
  // Reads of a socket's size, so the file takes the same path as live traffic.
  std::vector<char> buf(16 * 1024);
  while (reader.status() == StreamReader::Status::Open) {
    in->read(buf.data(), std::streamsize(buf.size()));
    std::streamsize got = in->gcount();
    if (got <= 0) break;
    reader.Feed(std::string_view(buf.data(), size_t(got)), sink);
  }
  switch (reader.status()) {
    case StreamReader::Status::Failed:
      return Fail("stream error: " + reader.error());
    case StreamReader::Status::Ended:
      PrintLine("{\"event\":\"stream-end\"}");
      return 0;
    case StreamReader::Status::Open:
      if (!reader.root()) return Fail("no stream header in " + file);
      if (!reader.scanner().Pending().empty()) {
        std::fprintf(stderr, "quillet-cli: %zu bytes of an unfinished stanza at the end\n",
                     reader.scanner().Pending().size());
      }
      return 0;
  }
  return 0;
}

struct Options {
  std::string jid, password, server, tls = "auto", ca_file, fingerprint, resource;
  std::optional<uint16_t> port;
  bool srv = false, debug = false;
  std::vector<quillet::platform::DnsServer> dns;
  int timeout_s = 30;
  std::vector<std::string> command;
};

std::optional<int> Number(const std::string& s, int lo, int hi) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

// Parses the options; returns a reason when they are wrong.
std::optional<std::string> ParseOptions(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!a.starts_with("--") || !o.command.empty()) {
      o.command.push_back(a);
      continue;
    }
    if (a == "--srv") {
      o.srv = true;
      continue;
    }
    if (a == "--debug") {
      o.debug = true;
      continue;
    }
    if (i + 1 >= args.size()) return a + " needs a value";
    const std::string& v = args[++i];
    if (a == "--jid") {
      o.jid = v;
    } else if (a == "--password") {
      o.password = v;
    } else if (a == "--password-file") {
      std::ifstream f(v);
      if (!f || !std::getline(f, o.password)) return "cannot read password file " + v;
    } else if (a == "--server") {
      o.server = v;
    } else if (a == "--port") {
      auto n = Number(v, 1, 65535);
      if (!n) return "bad port: " + v;
      o.port = uint16_t(*n);
    } else if (a == "--tls") {
      if (v != "none" && v != "auto" && v != "required")
        return "--tls takes none, auto or required";
      o.tls = v;
    } else if (a == "--ca-file") {
      o.ca_file = v;
    } else if (a == "--trust-fingerprint") {
      o.fingerprint = v;
    } else if (a == "--dns-server") {
      auto s = quillet::platform::ParseDnsServer(v);
      if (!s) return "bad DNS server: " + v;
      o.dns.push_back(*s);
    } else if (a == "--resource") {
      o.resource = v;
    } else if (a == "--timeout") {
      auto n = Number(v, 1, 3600);
      if (!n) return "bad timeout: " + v;
      o.timeout_s = *n;
    } else if (a == "--home") {
      setenv("QUILLET_HOME", v.c_str(), 1);
    } else {
      return "unknown option " + a;
    }
  }
  return std::nullopt;
}

// One session of the engine, driven by the command.
class Session {
 public:
  explicit Session(const Options& o) : o_(o), xmpp_(loop_) {
    xmpp_.SetUserName(o.jid);
    xmpp_.SetPassword(o.password);
    xmpp_.SetServer(o.server.empty() ? xmpp_.Domain() : o.server);
    if (o.port) xmpp_.SetPort(*o.port);
    xmpp_.SetSSLMode(o.tls == "none"       ? quillet::xmpp::smNone
                     : o.tls == "required" ? quillet::xmpp::smRequired
                                           : quillet::xmpp::smWhenPossible);
    xmpp_.SetCAFile(o.ca_file);
    xmpp_.SetTrustedFingerprint(o.fingerprint);
    xmpp_.SetUseDNSSrv(o.srv);
    xmpp_.SetDNSServers(o.dns);
    if (!o.resource.empty()) xmpp_.SetResourcename(o.resource);
    xmpp_.OnDebug = [this](const std::string& text, bool) {
      // What a failure reports: the engine's own reason, else why the connection ended.
      if (text.starts_with("Authentication failed") || text.starts_with("Registration refused") ||
          text.starts_with("Server ") || text.starts_with("No usable")) {
        reason_ = text;
      } else if (text.starts_with("Disconnected: ") && reason_.empty()) {
        reason_ = text;
      }
      if (o_.debug) std::fprintf(stderr, "debug: %s\n", text.c_str());
    };
    if (o.debug) {
      xmpp_.OnSendXML = [](const std::string& x) { std::fprintf(stderr, "sent: %s\n", x.c_str()); };
      xmpp_.BeforeParsing = [this](const std::string& x) {
        std::fprintf(stderr, "received: %s\n", x.c_str());
        if (on_raw_) on_raw_(x);
      };
    } else {
      xmpp_.BeforeParsing = [this](const std::string& x) {
        if (on_raw_) on_raw_(x);
      };
    }
    xmpp_.AfterAuthenticate = [this](bool ok) { auth_ = ok; };
    xmpp_.AfterRegistered = [this](bool ok) { registered_ = ok; };
    xmpp_.OnDisconnected = [this] { disconnected_ = true; };
  }

  int Login() {
    if (int rc = Connect(); rc) return rc;
    PrintLine("{\"event\":\"logged-in\",\"jid\":" + Json(xmpp_.FullJid()) + "}");
    return Logout();
  }

  int Register() {
    xmpp_.SetRegisterAsNewUser(true);
    try {
      xmpp_.Connect();
    } catch (const std::exception& e) {
      return Fail(e.what());
    }
    loop_.RunUntil([&] { return registered_.has_value() || disconnected_; }, Timeout());
    if (!registered_) return Fail(Reason("registration did not finish"));
    if (!*registered_) return Fail(Reason("registration refused"));
    PrintLine("{\"event\":\"registered\",\"jid\":" + Json(xmpp_.UserName()) + "}");
    return Logout();
  }

  // Prints the roster as one line per contact.
  int Roster() {
    if (int rc = Connect(); rc) return rc;
    for (const auto& e : xmpp_.Roster()) {
      PrintLine("{\"event\":\"contact\",\"jid\":" + Json(e.Jid) + ",\"name\":" + Json(e.Name) +
                ",\"group\":" + Json(e.Group) +
                ",\"subscription\":" + Json(SubText(e.Subscription)) + "}");
    }
    return Logout();
  }

  int Send(const std::string& to, const std::string& text) {
    if (int rc = Connect(); rc) return rc;
    xmpp_.SendChatMessage(to, text, quillet::xmpp::TFontSpec{});
    PrintLine("{\"event\":\"sent\",\"to\":" + Json(to) + ",\"body\":" + Json(text) + "}");
    return Logout();
  }

  // add JID [GROUP], remove JID, group JID GROUP: waits for the server's roster push.
  int Contact(const std::string& what, const std::string& jid, const std::string& group) {
    if (int rc = Connect(); rc) return rc;
    std::optional<std::string> result;
    xmpp_.OnRosterChange = [&](const std::string& j, const std::string&, const std::string& g,
                               quillet::xmpp::TXMPPSubscription sub) {
      if (j != jid) return;
      result = "{\"event\":\"roster\",\"jid\":" + Json(j) + ",\"group\":" + Json(g) +
               ",\"subscription\":" + Json(SubText(sub)) + "}";
    };
    if (what == "add") {
      xmpp_.AddContact(jid, group);
    } else if (what == "group") {
      xmpp_.SetContactGroup(jid, group);
    } else {
      if (!xmpp_.FindRosterEntry(jid) && jid.find('@') != std::string::npos) {
        Logout();
        return Fail(jid + " is not in the roster");
      }
      xmpp_.RemoveContact(jid);
    }
    loop_.RunUntil([&] { return result.has_value() || disconnected_; }, Timeout());
    if (!result) return Fail(Reason("the server did not confirm the change"));
    PrintLine(*result);
    return Logout();
  }

  int Nudge(const std::string& to) {
    if (int rc = Connect(); rc) return rc;
    xmpp_.SendNudge(to, "");
    PrintLine("{\"event\":\"nudged\",\"to\":" + Json(to) + "}");
    return Logout();
  }

  // Asks a JID for its software version.
  int Version(const std::string& jid) {
    if (int rc = Connect(); rc) return rc;
    std::optional<std::string> answer;
    const std::string id = xmpp_.NextId();
    on_raw_ = [&](const std::string& text) {
      try {
        for (const auto& e : quillet::xml::ParseFragment(text)) {
          if (e->Name != "iq" || e->GetAttribute("id") != id) continue;
          if (e->GetAttribute("type") != "result") {
            answer = "";
            continue;
          }
          auto field = [&](const char* name) {
            const TXMLObject* f = quillet::xml::FindXML(e.get(), std::string("/query/") + name);
            return f ? f->Text : std::string();
          };
          answer = "{\"event\":\"version\",\"jid\":" + Json(jid) +
                   ",\"name\":" + Json(field("name")) + ",\"version\":" + Json(field("version")) +
                   ",\"os\":" + Json(field("os")) + "}";
        }
      } catch (const std::exception&) {
      }
    };
    xmpp_.SendXML("<iq type=\"get\" to=\"" + quillet::xml::EscapeXML(jid) + "\" id=\"" + id +
                  "\"><query xmlns=\"jabber:iq:version\"/></iq>");
    loop_.RunUntil([&] { return answer.has_value() || disconnected_; }, Timeout());
    if (!answer) return Fail(Reason("no answer from " + jid));
    if (answer->empty()) return Fail(jid + " refused the version request");
    PrintLine(*answer);
    return Logout();
  }

  // Every event as a JSON line; with `echo` set, chat messages are answered with their body
  // and subscription requests approved (the demo's contact).
  int Listen(int seconds, bool echo) {
    using namespace quillet::xmpp;
    xmpp_.OnMessage = [this, echo](PXMPPMessageRec m) {
      PrintLine("{\"event\":\"message\",\"from\":" + Json(Full(m->Jid, m->Resource)) +
                ",\"type\":" + Json(m->MsgType) + ",\"body\":" + Json(m->Body) +
                (m->XHTML.empty() ? "" : ",\"xhtml\":" + Json(m->XHTML)) +
                (m->Stamp > 0 ? ",\"delayed\":true" : "") + "}");
      if (echo && m->MsgType == "chat" && !m->Body.empty()) {
        xmpp_.SendChatMessage(Full(m->Jid, m->Resource), m->Body, TFontSpec{});
      }
    };
    xmpp_.OnChatState = [this](const std::string& jid, const std::string& res, TChatStates st) {
      static const char* const names[] = {"none",   "active",   "composing",
                                          "paused", "inactive", "gone"};
      PrintLine("{\"event\":\"chat-state\",\"from\":" + Json(Full(jid, res)) + ",\"state\":\"" +
                names[st] + "\"}");
    };
    xmpp_.OnNudge = [this](const std::string& jid, const std::string& res) {
      PrintLine("{\"event\":\"nudge\",\"from\":" + Json(Full(jid, res)) + "}");
    };
    xmpp_.OnPresence = [this](PXMPPPresenceRec p) {
      static const char* const shows[] = {"unavailable", "available", "chat",  "dnd",
                                          "away",        "xa",        "error", "unknown"};
      PrintLine("{\"event\":\"presence\",\"from\":" + Json(Full(p->Jid, p->Resource)) +
                ",\"show\":\"" + shows[p->Show] + "\",\"status\":" + Json(p->Status) + "}");
    };
    xmpp_.OnSubscribe = [this, echo](const std::string& jid, bool request) {
      PrintLine("{\"event\":\"" + std::string(request ? "subscribe" : "subscribed") +
                "\",\"from\":" + Json(jid) + "}");
      if (echo && request) {
        xmpp_.SendXML("<presence to=\"" + quillet::xml::EscapeXML(jid) +
                      "\" type=\"subscribed\"/>");
        xmpp_.AddContact(jid, "");
      }
    };
    xmpp_.OnRosterChange = [this](const std::string& jid, const std::string& name,
                                  const std::string& group, TXMPPSubscription sub) {
      if (!listening_) return;
      PrintLine("{\"event\":\"roster\",\"jid\":" + Json(jid) + ",\"name\":" + Json(name) +
                ",\"group\":" + Json(group) + ",\"subscription\":" + Json(SubText(sub)) + "}");
    };
    if (int rc = Connect(); rc) return rc;
    listening_ = true;
    xmpp_.SendPresence();
    PrintLine("{\"event\":\"listening\",\"jid\":" + Json(xmpp_.FullJid()) + "}");
    loop_.RunUntil([&] { return disconnected_; }, std::chrono::seconds(seconds));
    if (disconnected_) return Fail(Reason("connection lost"));
    return Logout();
  }

  int Raw(const std::string& xml, int seconds) {
    if (int rc = Connect(); rc) return rc;
    on_raw_ = [](const std::string& text) {
      try {
        for (const auto& e : quillet::xml::ParseFragment(text)) PrintLine(StanzaLine(*e));
      } catch (const std::exception& ex) {
        std::fprintf(stderr, "quillet-cli: cannot show %s: %s\n", text.c_str(), ex.what());
      }
    };
    xmpp_.SendXML(xml);
    loop_.RunUntil([&] { return disconnected_; }, std::chrono::seconds(seconds));
    if (disconnected_) return Fail(Reason("connection lost"));
    return Logout();
  }

 private:
  std::chrono::milliseconds Timeout() const { return std::chrono::seconds(o_.timeout_s); }
  std::string Reason(const std::string& fallback) const {
    return reason_.empty() ? fallback : reason_;
  }
  static std::string Full(const std::string& jid, const std::string& resource) {
    return resource.empty() ? jid : jid + "/" + resource;
  }
  static std::string SubText(quillet::xmpp::TXMPPSubscription s) {
    static const char* const names[] = {"none", "to", "from", "both", "remove", "unknown"};
    return names[s];
  }
  static std::string Json(const std::string& s) {
    std::string out;
    quillet::cli::AppendJsonString(out, s);
    return out;
  }

  int Connect() {
    try {
      xmpp_.Connect();
    } catch (const std::exception& e) {
      return Fail(e.what());
    }
    loop_.RunUntil([&] { return auth_.has_value() || disconnected_; }, Timeout());
    if (!auth_) {
      if (!disconnected_) return Fail("login timed out");
      return Fail(Reason("disconnected before the login finished"));
    }
    if (!*auth_) return Fail(Reason("authentication failed"));
    return 0;
  }

  int Logout() {
    if (xmpp_.Active()) xmpp_.Disconnect();
    loop_.RunUntil([&] { return disconnected_; }, 5s);
    return 0;
  }

  const Options& o_;
  quillet::platform::SimpleEventLoop loop_;
  TXMPP xmpp_;
  std::optional<bool> auth_, registered_;
  bool disconnected_ = false;
  std::string reason_;
  std::function<void(const std::string&)> on_raw_;
  bool listening_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options o;
  if (auto bad = ParseOptions(args, o)) return Fail(*bad);
  if (o.command.empty()) return Fail("no command given (see --help)");
  const std::string& cmd = o.command[0];
  if (cmd == "parse") {
    if (o.command.size() != 2) return Fail("parse takes one FILE");
    return Parse(o.command[1]);
  }
  static const std::vector<std::string> kCommands = {"login",  "register", "raw",   "roster",
                                                     "send",   "listen",   "echo",  "add",
                                                     "remove", "group",    "nudge", "version"};
  if (std::find(kCommands.begin(), kCommands.end(), cmd) == kCommands.end()) {
    return Fail("unknown command: " + cmd);
  }
  if (o.jid.empty()) return Fail("--jid is required");
  if (o.jid.find('@') == std::string::npos) return Fail("--jid must be USER@DOMAIN");
  Session session(o);
  if (cmd == "login") return session.Login();
  if (cmd == "register") return session.Register();
  if (cmd == "roster") return session.Roster();
  if (cmd == "send") {
    if (o.command.size() != 3) return Fail("send takes JID and TEXT");
    return session.Send(o.command[1], o.command[2]);
  }
  if (cmd == "add" || cmd == "remove" || cmd == "group" || cmd == "nudge" || cmd == "version") {
    const size_t want = cmd == "group" ? 3 : cmd == "add" ? 0 : 2;
    if (o.command.size() < 2 || (want && o.command.size() != want) || o.command.size() > 3) {
      return Fail(cmd + ": wrong arguments (see --help)");
    }
    if (cmd == "nudge") return session.Nudge(o.command[1]);
    if (cmd == "version") return session.Version(o.command[1]);
    return session.Contact(cmd, o.command[1], o.command.size() > 2 ? o.command[2] : "");
  }
  int seconds = cmd == "raw" ? 5 : 60;
  for (size_t i = 1; i + 1 < o.command.size(); ++i) {
    if (o.command[i] == "--seconds") {
      auto n = Number(o.command[i + 1], 0, 3600);
      if (!n) return Fail("bad --seconds");
      seconds = *n;
    }
  }
  if (cmd == "listen" || cmd == "echo") return session.Listen(seconds, cmd == "echo");
  // raw XML [--seconds N]
  if (o.command.size() < 2 || o.command[1] == "--seconds") return Fail("raw takes the XML to send");
  return session.Raw(o.command[1], seconds);
}
