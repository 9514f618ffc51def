#include "xmpp/xmpp.h"

#include <algorithm>
#include <cstdio>

#include "xml/parser.h"
#include "xmpp/socketthread.h"

namespace quillet::xmpp {

using xml::EscapeXML;
using xml::FindXML;
using xml::TXMLHandler;
using xml::TXMLObject;

namespace {

constexpr std::string_view kSaslNs = "urn:ietf:params:xml:ns:xmpp-sasl";
constexpr std::string_view kTlsNs = "urn:ietf:params:xml:ns:xmpp-tls";
const std::string kSaslFailurePath = "/failure[@xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"]/";
const std::string kSaslSuccessPath = "/success[@xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"]/";
const std::string kSaslChallengePath = "/challenge[@xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"]/";
const std::string kProceedPath = "/proceed[@xmlns=\"urn:ietf:params:xml:ns:xmpp-tls\"]";
const std::string kNonSaslPath = "/iq[@id=\"authnonsasl\"]/query[@xmlns=\"jabber:iq:auth\"]";
const std::string kNonSaslResultPath = "/iq[@id=\"authset\"]/";

std::string IdPath(const std::string& id) {
  return "/iq[@id=\"" + id + "\"]/";
}

// The first error condition inside a failure or error element, for the debug log.
std::string ConditionOf(const TXMLObject& e) {
  for (const auto& c : e.Children()) {
    if (c->Name != "text") return c->Name;
  }
  return "unknown";
}

}  // namespace

TXMPP::TXMPP(platform::EventLoop& loop)
    : loop_(loop),
      channel_(std::make_unique<platform::MessageTarget>(
          loop,
          [this](uint32_t code, platform::Payload p) { OnThreadMessage(code, std::move(p)); })),
      rng_(std::random_device{}()) {
  registry_.OnCallbackError = [this](const std::string& why) { Debug(why, true); };
}

TXMPP::~TXMPP() {
  destroying_ = true;
  for (TXMPPExtension* e : extensions_) e->xmpp_ = nullptr;
  if (active_) {
    active_ = false;
    thread_.reset();
  }
  ClearLists();
}

// ---- properties ----

void TXMPP::CheckInactive() const {
  if (active_) throw EXMPPException("Already connected");
}
void TXMPP::SetServer(std::string v) {
  CheckInactive();
  server_ = std::move(v);
}
void TXMPP::SetUserName(std::string_view jid) {
  CheckInactive();
  size_t at = jid.find('@');
  if (at == std::string_view::npos) {
    user_.clear();
    domain_ = std::string(jid);
  } else {
    user_ = std::string(jid.substr(0, at));
    domain_ = std::string(jid.substr(at + 1));
  }
}
void TXMPP::SetPassword(std::string v) {
  CheckInactive();
  password_ = std::move(v);
}
void TXMPP::SetResourcename(std::string v) {
  CheckInactive();
  resource_ = std::move(v);
}
void TXMPP::SetPort(uint16_t v) {
  CheckInactive();
  port_ = v;
}
void TXMPP::SetConnectTimeout(std::chrono::milliseconds v) {
  CheckInactive();
  connect_timeout_ = v;
}
void TXMPP::SetSSLMode(TSSLMode v) {
  CheckInactive();
  ssl_mode_ = v;
}
void TXMPP::SetUseDNSSrv(bool v) {
  CheckInactive();
  use_dns_srv_ = v;
}
void TXMPP::SetRegisterAsNewUser(bool v) {
  CheckInactive();
  register_as_new_user_ = v;
}
void TXMPP::SetDNSServers(std::vector<platform::DnsServer> v) {
  CheckInactive();
  dns_servers_ = std::move(v);
}
void TXMPP::SetCAFile(std::string v) {
  CheckInactive();
  ca_file_ = std::move(v);
}
void TXMPP::SetTrustedFingerprint(std::string v) {
  CheckInactive();
  trusted_fingerprint_ = std::move(v);
}

void TXMPP::Debug(const std::string& text, bool exception) {
  if (OnDebug) OnDebug(text, exception);
}

void TXMPP::RaisePhase() {
  ++phase_;
  if (OnConnectionPhase) OnConnectionPhase(phase_);
}

// ---- connection control ----

std::string TXMPP::NextId() {
  return id_prefix_ + std::to_string(++id_counter_);
}

void TXMPP::Connect() {
  if (active_) throw EXMPPException("Already connected");
  if (server_.empty() && !use_dns_srv_) throw EXMPPException("No host defined");
  if (user_.empty()) throw EXMPPException("No username defined");

  // A connection the user ended whose end has not been reported yet ends now; its late
  // XM_ENDED then belongs to an old generation and is dropped.
  if (end_pending_) Ended("");
  login_pending_ = registration_pending_ = logged_in_ = session_ready_ = false;
  last_presence_.clear();
  // Nothing of an earlier connection stays: a lost one left stale presences behind.
  ClearLists();
  registry_.RegisterXML("/stream:features/", TXMLHandler::Of<&TXMPP::HandleFeatures>(this));
  offered_modes_ = 0;
  id_counter_ = 0;
  std::uniform_int_distribution<int> letter(0, 24), digit(0, 8), draw(0, 999);
  id_prefix_.clear();
  for (int i = 1; i <= 6; ++i) {
    bool use_letter = i <= 2 || draw(rng_) <= 800;
    id_prefix_ += use_letter ? char('a' + letter(rng_)) : char('0' + digit(rng_));
  }
  id_prefix_ += '_';
  phase_ = 0;
  stream_id_.clear();
  features_seen_ = tls_started_ = false;
  bind_progress_ = 0;
  continuation_ = nullptr;
  scram_.reset();
  active_ = true;

  std::string host = server_;
  uint16_t port = port_;
  if (use_dns_srv_) {
    auto servers = dns_servers_.empty() ? platform::SystemDnsServers() : dns_servers_;
    Debug("Looking for SRV record at: _xmpp-client._tcp." + domain_);
    platform::SrvLookup srv = platform::LookupSRV(domain_, port_, servers);
    if (srv.found) Debug("Found SRV: " + srv.host + " " + std::to_string(srv.port));
    host = srv.host;
    port = srv.port;
  }
  Debug("Connecting to : \"" + host + "\", port=\"" + std::to_string(port) + "\", timeout=\"" +
        std::to_string(connect_timeout_.count()) + "\"");

  TSocketConfig config;
  config.host = host;
  config.port = port;
  config.connect_timeout = connect_timeout_;
  config.stream_domain = domain_;
  config.tls.host = domain_;
  config.tls.ca_file = ca_file_;
  config.tls.trusted_fingerprint = trusted_fingerprint_;
  thread_ =
      std::make_unique<TSocketThread>(channel_->GetPoster(), ++generation_, std::move(config));
  thread_->Start();
}

void TXMPP::Disconnect() {
  if (!active_) throw EXMPPException("Not connected");
  active_ = false;
  logged_in_ = session_ready_ = false;
  thread_.reset();  // closes the stream and the socket; XM_ENDED follows
  end_pending_ = true;
  ClearLists();
}

void TXMPP::ClearLists() {
  service_info_.clear();
  roster_.clear();
  presences_.clear();
  service_jids_.clear();
  listeners_.clear();
}

void TXMPP::SendXML(std::string_view text) {
  if (text.empty()) return;
  if (!active_) throw EXMPPException("Not connected");
  if (!thread_) return;
  if (collecting_) {
    collected_.append(text);
    return;
  }
  if (OnSendXML) OnSendXML(std::string(text));
  thread_->Send(text);
}

void TXMPP::CloseStream() {
  SendXML("</stream:stream>");
}

void TXMPP::OnThreadMessage(uint32_t code, platform::Payload payload) {
  if (destroying_) return;
  auto msg = payload.Take<TSocketMessage>();
  if (!msg || msg->generation != generation_) return;  // from a connection that is gone
  try {
    switch (code) {
      case XM_STARTED:
        RaisePhase();
        break;
      case XM_CONNECTED:
        if (!msg->has_text) {
          login_pending_ = true;
          if (OnConnected) OnConnected();
        } else {
          stream_id_ = msg->text;
          if (auto next = std::exchange(continuation_, nullptr)) (this->*next)();
          RaisePhase();
        }
        break;
      case XM_ENDED:
        Ended(msg->text);
        return;  // nothing left to acknowledge
      case XM_STANZA:
        if (msg->stanza) DispatchStanza(*msg->stanza);
        break;
      case XM_RAWTEXT:
        if (BeforeParsing) BeforeParsing(msg->text);
        break;
      case XM_DEBUG:
        Debug(msg->text);
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    Debug(std::string("error handling a connection message: ") + e.what(), true);
  }
  if (thread_) thread_->Acknowledge();
}

void TXMPP::Ended(const std::string& reason) {
  end_pending_ = false;
  active_ = false;
  logged_in_ = session_ready_ = false;
  thread_.reset();
  registry_.ClearRegistrations();
  Debug(reason.empty() ? "Disconnected" : "Disconnected: " + reason);
  if (registration_pending_) ReportRegistration(false);
  if (OnDisconnected) OnDisconnected();
  for (TXMPPExtension* e : std::vector(extensions_)) e->DoDisconnected();
}

void TXMPP::DispatchStanza(TXMLObject& stanza) {
  // What handlers send for this stanza goes out in one piece after the dispatch, or is
  // replaced by the error answer when nobody answered a request.
  collected_.clear();
  collecting_ = true;
  try {
    registry_.DispatchXML(stanza);
  } catch (const std::exception& e) {
    Debug(e.what(), true);
  }
  const std::string& type = stanza.GetAttribute("type");
  if (stanza.Name == "iq" && (type == "get" || type == "set")) {
    std::string from = stanza.GetAttribute("from");
    stanza.SetAttribute("type", "error");
    stanza.SetAttribute("from", "");
    stanza.SetAttribute("to", from);
    TXMLObject* error = stanza.AddChild("error");
    error->SetAttribute("code", "503");
    error->SetAttribute("type", "cancel");
    error->AddChild("service-unavailable")
        ->SetAttribute("xmlns", "urn:ietf:params:xml:ns:xmpp-stanzas");
    collected_ = stanza.GetXML();
  }
  collecting_ = false;
  if (!collected_.empty() && active_) SendXML(std::exchange(collected_, {}));
}

// ---- stream features, TLS, registration ----

void TXMPP::HandleFeatures(TXMLObject& features) {
  features_seen_ = true;

  const TXMLObject* starttls = nullptr;
  for (const auto& c : features.Children()) {
    if (c->Name == "starttls" && c->GetAttribute("xmlns") == kTlsNs) starttls = c.get();
  }
  bool tls_offered = starttls != nullptr;
  bool tls_required = starttls && starttls->FindChild("required");
  if ((ssl_mode_ == smRequired && !tls_offered && !tls_started_) ||
      (ssl_mode_ == smNone && tls_required)) {
    Debug(ssl_mode_ == smRequired ? "Server offers no TLS, but TLS is required"
                                  : "Server requires TLS, but TLS is turned off");
    CloseStream();
    return;
  }
  if (!tls_started_ && tls_offered && ssl_mode_ != smNone) {
    tls_started_ = true;
    registry_.RegisterXML(kProceedPath, TXMLHandler::Of<&TXMPP::HandleProceed>(this));
    SendXML("<starttls xmlns=\"urn:ietf:params:xml:ns:xmpp-tls\"/>");
    return;  // the features of the secured stream come back here
  }
  registry_.UnregisterXML("/stream:features/", TXMLHandler::Of<&TXMPP::HandleFeatures>(this));

  // Account creation waits until TLS is settled, so the password never goes out in the
  // clear ahead of a STARTTLS the server would have offered.
  if (register_as_new_user_) {
    if (!features.FindChild("register")) {
      Debug("Server offers no in-band registration");
      CloseStream();
      ReportRegistration(false);
      return;
    }
    registration_pending_ = true;
    register_id_ = NextId();
    registry_.RegisterXML(IdPath(register_id_), TXMLHandler::Of<&TXMPP::HandleRegistered>(this));
    SendXML("<iq type=\"set\" id=\"" + register_id_ +
            "\"><query xmlns=\"jabber:iq:register\"><username>" + EscapeXML(user_) +
            "</username><password>" + EscapeXML(password_) + "</password></query></iq>");
  }

  offered_modes_ = 0;
  if (const TXMLObject* auth = features.FindChild("auth");
      auth && auth->GetAttribute("xmlns") == "http://jabber.org/features/iq-auth") {
    offered_modes_ |= ModeBit(amNonSasl);
  }
  for (const auto& c : features.Children()) {
    if (c->Name != "mechanisms" || c->GetAttribute("xmlns") != kSaslNs) continue;
    for (const auto& m : c->Children()) {
      if (m->Name != "mechanism") continue;
      if (m->Text == "PLAIN") offered_modes_ |= ModeBit(amPlain);
      if (m->Text == "DIGEST-MD5") offered_modes_ |= ModeBit(amDigestMD5);
      if (m->Text == "SCRAM-SHA-1") offered_modes_ |= ModeBit(amScramSha1);
      if (m->Text == "SCRAM-SHA-256") offered_modes_ |= ModeBit(amScramSha256);
    }
  }
  // The strongest offered mechanism, unless the application chooses otherwise.
  TXMPPAuthModes mode = amNone;
  for (TXMPPAuthModes m : {amNonSasl, amPlain, amDigestMD5, amScramSha1, amScramSha256}) {
    if (offered_modes_ & ModeBit(m)) mode = m;
  }
  if (BeforeAuthenticate) BeforeAuthenticate(mode);
  if (mode == amNone || !(offered_modes_ & ModeBit(mode))) {
    Debug("No usable authentication mechanism");
    CloseStream();
    return;
  }
  sasl_step_ = 0;
  StartAuthentication(mode);
}

void TXMPP::HandleProceed(TXMLObject&) {
  registry_.UnregisterXML(kProceedPath, TXMLHandler::Of<&TXMPP::HandleProceed>(this));
  Debug("Starting SSL...");
  if (thread_) thread_->RequestStartTls();
}

void TXMPP::HandleRegistered(TXMLObject& iq) {
  registry_.UnregisterXML(IdPath(register_id_), TXMLHandler::Of<&TXMPP::HandleRegistered>(this));
  bool ok = iq.GetAttribute("type") == "result";
  if (!ok) {
    const TXMLObject* error = iq.FindChild("error");
    Debug("Registration refused: " + (error ? ConditionOf(*error) : std::string("no reason")));
  }
  ReportRegistration(ok);
}

void TXMPP::ReportRegistration(bool success) {
  registration_pending_ = false;
  login_pending_ = false;
  if (AfterRegistered) AfterRegistered(success);
}

// ---- authentication ----

void TXMPP::StartAuthentication(TXMPPAuthModes mode) {
  switch (mode) {
    case amPlain:
      registry_.RegisterXML(kSaslFailurePath, TXMLHandler::Of<&TXMPP::HandlePlainResult>(this));
      registry_.RegisterXML(kSaslSuccessPath, TXMLHandler::Of<&TXMPP::HandlePlainResult>(this));
      SendXML("<auth xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\" mechanism=\"PLAIN\">" +
              PlainCredentials(user_, domain_, password_) + "</auth>");
      break;
    case amDigestMD5:
      registry_.RegisterXML(kSaslChallengePath, TXMLHandler::Of<&TXMPP::HandleDigest>(this));
      SendXML("<auth xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\" mechanism=\"DIGEST-MD5\"/>");
      break;
    case amScramSha1:
    case amScramSha256: {
      auto hash = mode == amScramSha256 ? platform::Hash::kSHA256 : platform::Hash::kSHA1;
      scram_ = std::make_unique<ScramClient>(hash, user_, password_);
      for (const std::string* p : {&kSaslChallengePath, &kSaslSuccessPath, &kSaslFailurePath}) {
        registry_.RegisterXML(*p, TXMLHandler::Of<&TXMPP::HandleScram>(this));
      }
      SendXML(std::string("<auth xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\" mechanism=\"") +
              ScramClient::MechanismName(hash) + "\">" +
              platform::Base64Encode(scram_->ClientFirst()) + "</auth>");
      break;
    }
    case amNonSasl:
      registry_.RegisterXML(kNonSaslPath, TXMLHandler::Of<&TXMPP::HandleNonSaslQuery>(this));
      SendXML("<iq id=\"authnonsasl\" type=\"get\"><query xmlns=\"jabber:iq:auth\"><username>" +
              EscapeXML(user_) + "</username></query></iq>");
      break;
    case amNone:
      break;
  }
}

void TXMPP::SaslSucceeded() {
  continuation_ = &TXMPP::BindStart;
  if (thread_) thread_->RequestRestart();
}

void TXMPP::SaslFailed(TXMLObject& failure) {
  Debug("Authentication failed: " + ConditionOf(failure));
  CloseStream();
  ReportLogin(false);
}

void TXMPP::HandlePlainResult(TXMLObject& e) {
  registry_.UnregisterXML(kSaslFailurePath, TXMLHandler::Of<&TXMPP::HandlePlainResult>(this));
  registry_.UnregisterXML(kSaslSuccessPath, TXMLHandler::Of<&TXMPP::HandlePlainResult>(this));
  if (e.Name == "success") {
    SaslSucceeded();
  } else {
    SaslFailed(e);
  }
}

void TXMPP::HandleDigest(TXMLObject& e) {
  ++sasl_step_;
  RaisePhase();
  const auto handler = TXMLHandler::Of<&TXMPP::HandleDigest>(this);
  if (e.Name == "success" || e.Name == "failure") {
    sasl_step_ = 3;
    registry_.UnregisterXML(kSaslFailurePath, handler);
    registry_.UnregisterXML(kSaslSuccessPath, handler);
    if (e.Name == "success") {
      SaslSucceeded();
    } else {
      SaslFailed(e);
    }
    return;
  }
  if (sasl_step_ == 2) {
    registry_.UnregisterXML(kSaslChallengePath, handler);
    SendXML("<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\"/>");
    return;
  }
  if (sasl_step_ == 1) {
    registry_.RegisterXML(kSaslFailurePath, handler);
    registry_.RegisterXML(kSaslSuccessPath, handler);
    auto challenge = platform::Base64Decode(e.Text).value_or("");
    auto directives = ParseDigestDirectives(challenge);
    char nc[16];
    std::snprintf(nc, sizeof nc, "%08d", sasl_step_);
    DigestMD5Params p{user_,
                      DigestDirective(directives, "realm"),
                      password_,
                      DigestDirective(directives, "nonce"),
                      DigestMD5Cnonce(),
                      nc,
                      "xmpp/" + domain_};
    SendXML("<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">" +
            platform::Base64Encode(DigestMD5Response(p)) + "</response>");
  }
}

void TXMPP::HandleScram(TXMLObject& e) {
  const auto handler = TXMLHandler::Of<&TXMPP::HandleScram>(this);
  auto finish = [&] {
    for (const std::string* p : {&kSaslChallengePath, &kSaslSuccessPath, &kSaslFailurePath}) {
      registry_.UnregisterXML(*p, handler);
    }
  };
  if (!scram_) return;
  std::string error;
  if (e.Name == "challenge") {
    auto server_first = platform::Base64Decode(e.Text);
    std::optional<std::string> reply;
    if (server_first) reply = scram_->ClientFinal(*server_first, &error);
    if (!reply) {
      finish();
      Debug("Authentication failed: " + (error.empty() ? "malformed challenge" : error));
      CloseStream();
      ReportLogin(false);
      return;
    }
    SendXML("<response xmlns=\"urn:ietf:params:xml:ns:xmpp-sasl\">" +
            platform::Base64Encode(*reply) + "</response>");
    return;
  }
  finish();
  if (e.Name == "failure") {
    SaslFailed(e);
    return;
  }
  auto server_final = platform::Base64Decode(e.Text);
  if (!server_final || !scram_->VerifyServerFinal(*server_final, &error)) {
    Debug("Authentication failed: " + (error.empty() ? "malformed server signature" : error));
    CloseStream();
    ReportLogin(false);
    return;
  }
  scram_.reset();
  SaslSucceeded();
}

void TXMPP::HandleNonSaslQuery(TXMLObject& query) {
  registry_.UnregisterXML(kNonSaslPath, TXMLHandler::Of<&TXMPP::HandleNonSaslQuery>(this));
  std::string iq = "<iq id=\"authset\" type=\"set\"><query xmlns=\"jabber:iq:auth\">";
  iq += "<username>" + EscapeXML(user_) + "</username>";
  if (query.FindChild("resource")) iq += "<resource>" + EscapeXML(resource_) + "</resource>";
  if (query.FindChild("digest")) {
    iq += "<digest>" + platform::Sha1Hex(stream_id_ + password_) + "</digest>";
  } else if (query.FindChild("password")) {
    iq += "<password>" + EscapeXML(password_) + "</password>";
  } else {
    Debug("Query-based login offers neither digest nor password");
    CloseStream();
    return;
  }
  iq += "</query></iq>";
  registry_.RegisterXML(kNonSaslResultPath, TXMLHandler::Of<&TXMPP::HandleNonSaslResult>(this));
  SendXML(iq);
}

void TXMPP::HandleNonSaslResult(TXMLObject& iq) {
  registry_.UnregisterXML(kNonSaslResultPath, TXMLHandler::Of<&TXMPP::HandleNonSaslResult>(this));
  bool ok = iq.GetAttribute("type") == "result";
  if (!ok) {
    const TXMLObject* error = iq.FindChild("error");
    Debug("Authentication failed: " + (error ? ConditionOf(*error) : std::string("refused")));
  }
  ReportLogin(ok);
}

// ---- bind and session ----

void TXMPP::BindStart() {
  bind_id_ = NextId();
  session_id_ = NextId();
  registry_.RegisterXML("/stream:features", TXMLHandler::Of<&TXMPP::HandleBind>(this));
}

void TXMPP::HandleBind(TXMLObject& e) {
  const auto handler = TXMLHandler::Of<&TXMPP::HandleBind>(this);
  if (e.Name == "stream:features") {
    registry_.UnregisterXML("/stream:features", handler);
    registry_.RegisterXML("/iq[@id=\"" + bind_id_ + "\"]", handler);
    SendXML("<iq id=\"" + bind_id_ +
            "\" type=\"set\"><bind xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\"><resource>" +
            EscapeXML(resource_) + "</resource></bind></iq>");
    return;
  }
  const std::string& id = e.GetAttribute("id");
  if (id == bind_id_) {
    bind_progress_ |= 1;
    registry_.UnregisterXML("/iq[@id=\"" + bind_id_ + "\"]", handler);
    if (const TXMLObject* jid = FindXML(&e, "/bind/jid")) {
      size_t slash = jid->Text.find('/');
      if (slash != std::string::npos) {
        resource_ = jid->Text.substr(slash + 1);
        std::string bare = jid->Text.substr(0, slash);
        size_t at = bare.find('@');
        if (at != std::string::npos) user_ = bare.substr(0, at);
      }
    }
    registry_.RegisterXML("/iq[@id=\"" + session_id_ + "\"]", handler);
    SendXML("<iq id=\"" + session_id_ +
            "\" type=\"set\"><session xmlns=\"urn:ietf:params:xml:ns:xmpp-session\"/></iq>");
  } else if (id == session_id_) {
    registry_.UnregisterXML("/iq[@id=\"" + session_id_ + "\"]", handler);
    bind_progress_ = 3;
  }
  if (bind_progress_ == 3) ReportLogin(true);
}

// ---- results ----

void TXMPP::ReportLogin(bool success) {
  login_pending_ = false;
  if (!success) {
    try {
      if (AfterAuthenticate) AfterAuthenticate(false);
    } catch (const std::exception&) {
    }
    return;
  }
  disco_items_id_ = NextId();
  registry_.RegisterXML(IdPath(disco_items_id_), TXMLHandler::Of<&TXMPP::HandleDiscoItems>(this));
  SendXML("<iq type=\"get\" id=\"" + disco_items_id_ + "\" to=\"" + EscapeXML(domain_) +
          "\"><query xmlns=\"http://jabber.org/protocol/disco#items\"/></iq>");
  try {
    RaisePhase();
  } catch (const std::exception&) {
  }
  NotifyListeners(kListenLoggedIn, nullptr, nullptr);
  session_ready_ = true;
  registry_.RegisterXML(
      "/iq[@type=\"get\"]/query[@xmlns=\"http://jabber.org/protocol/disco#info\"]",
      TXMLHandler::Of<&TXMPP::HandleDiscoInfoRequest>(this));
  const auto roster = TXMLHandler::Of<&TXMPP::HandleRoster>(this);
  registry_.RegisterXML("/iq/query[@xmlns=\"jabber:iq:roster\"]", roster);
  registry_.RegisterXML("/iq[@type=\"set\"]/query[@xmlns=\"jabber:iq:roster\"]", roster);
  registry_.RegisterXML("/presence/", TXMLHandler::Of<&TXMPP::HandlePresence>(this));
  registry_.RegisterXML("/message/", TXMLHandler::Of<&TXMPP::HandleMessage>(this));
  registry_.RegisterXML("/iq[@type=\"get\"]/query[@xmlns=\"jabber:iq:version\"]/",
                        TXMLHandler::Of<&TXMPP::HandleVersionRequest>(this));
  roster_id_ = NextId();
  registry_.RegisterXML(IdPath(roster_id_), TXMLHandler::Of<&TXMPP::HandleRosterAnswer>(this));
  SendXML("<iq id=\"" + roster_id_ + "\" type=\"get\"><query xmlns=\"jabber:iq:roster\"/></iq>");
  for (TXMPPExtension* e : std::vector(extensions_)) e->DoLoggedIn();
}

void TXMPP::HandleRosterAnswer(TXMLObject&) {
  registry_.UnregisterXML(IdPath(roster_id_), TXMLHandler::Of<&TXMPP::HandleRosterAnswer>(this));
  logged_in_ = true;
  if (AfterAuthenticate) AfterAuthenticate(true);
}

// ---- extensions and listeners ----

void TXMPP::AddListener(uint8_t kind, TXMPPListener listener) {
  if (!listener) return;
  for (const auto& [k, l] : listeners_) {
    if (k == kind && l.SameMethod(listener)) return;
  }
  listeners_.emplace_back(kind, listener);
}

void TXMPP::NotifyListeners(uint8_t kind, void* data, TXMLObject* stanza) {
  for (const auto& [k, l] : std::vector(listeners_)) {
    if (k == kind) l(kind, data, stanza);
  }
}

TXMPPExtension::~TXMPPExtension() {
  SetXMPP(nullptr);
}

void TXMPPExtension::SetXMPP(TXMPP* xmpp) {
  if (xmpp_) std::erase(xmpp_->extensions_, this);
  xmpp_ = xmpp;
  if (xmpp_) xmpp_->extensions_.push_back(this);
}

}  // namespace quillet::xmpp
