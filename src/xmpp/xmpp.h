// TXMPP: the engine. Owns the connection thread and the handler registry, drives the
// login (STARTTLS, SASL or the query-based login, bind, session, in-band registration) by
// handlers registered for the answers it waits for, and hosts the extension components.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/dns.h"
#include "platform/eventloop.h"
#include "platform/messagetarget.h"
#include "xml/registry.h"
#include "xmpp/sasl.h"
#include "xmpp/types.h"

namespace quillet::xmpp {

class TSocketThread;
class TXMPPExtension;

// An internal listener: a method taking (kind, data, stanza), identified by its method.
class TXMPPListener {
 public:
  using Function = void (*)(void* target, uint8_t kind, void* data, xml::TXMLObject* stanza);
  TXMPPListener() = default;
  TXMPPListener(Function f, void* target) : function_(f), target_(target) {}
  template <auto Method, class T>
  static TXMPPListener Of(T* target) {
    return TXMPPListener(
        [](void* t, uint8_t kind, void* data, xml::TXMLObject* stanza) {
          (static_cast<T*>(t)->*Method)(kind, data, stanza);
        },
        target);
  }
  void operator()(uint8_t kind, void* data, xml::TXMLObject* stanza) const {
    function_(target_, kind, data, stanza);
  }
  bool SameMethod(const TXMPPListener& o) const { return function_ == o.function_; }
  explicit operator bool() const { return function_ != nullptr; }

 private:
  Function function_ = nullptr;
  void* target_ = nullptr;
};

// One contact stored on the server.
struct RosterEntry {
  std::string Jid;   // bare JID as the item wrote it
  std::string Name;  // not entity-decoded
  TXMPPSubscription Subscription = xsUnknown;
  std::string Group;  // the first group only
};

// One contact resource that has sent presence; kept until Disconnect.
struct TXMPPPresenceRec {
  std::string Jid, Resource;
  TXMPPShowType PrevShow = xswUnavailable;
  TXMPPShowType Show = xswUnavailable;
  std::string Nick, Status;
};
using PXMPPPresenceRec = TXMPPPresenceRec*;

TXMPPSubscription SubscriptionFromText(std::string_view text);

// One inbound message, valid during OnMessage.
struct TXMPPMessageRec {
  std::string Jid, Resource, MsgType, Subject, Body;
  std::string XHTML;  // inner markup of the formatted body
  std::string Sound;  // base64 sound clip
  double Stamp = 0;   // local date-time in days since 1899-12-30; 0 when not delayed
  std::vector<std::pair<std::string, std::string>> Extra;  // filled by message listeners
};
using PXMPPMessageRec = TXMPPMessageRec*;

// The font a message was typed in, for its formatted copy.
struct TFontSpec {
  std::string Name = "Arial";
  int Size = 10;
  uint32_t Color = 0;  // 0x00BBGGRR: the lowest byte is red
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
};

// The system's own message extensions.
inline constexpr std::string_view kNudgeNs = "http://quillet-messenger.net/protocol/nudge";
inline constexpr std::string_view kVideoNs = "http://quillet-messenger.net/protocol/video";
inline constexpr std::string_view kSoundNs = "http://quillet-messenger.net/protocol/sound";
inline constexpr std::string_view kSoundClipNs = "http://quillet-messenger.net/protocol/soundclip";

// <html><body><span style=…>text</span></body></html> for the font; line breaks become <br/>.
std::string FontToXHTML(const TFontSpec& font, std::string_view text);
// A delay stamp (XEP-0203 or XEP-0091 forms) as local date-time in days, 0 when unreadable.
double DelayStampToLocal(std::string_view stamp);

// Kinds of internal listeners.
constexpr uint8_t kListenLoggedIn = 0;
constexpr uint8_t kListenPresence = 1;
constexpr uint8_t kListenMessage = 2;

class TXMPP {
 public:
  explicit TXMPP(platform::EventLoop& loop);
  // Disconnects if still active.
  ~TXMPP();
  TXMPP(const TXMPP&) = delete;
  TXMPP& operator=(const TXMPP&) = delete;

  // ---- account properties; changing one while active raises "Already connected" ----
  const std::string& Server() const { return server_; }
  void SetServer(std::string v);
  // The bare JID: user part and account domain.
  std::string UserName() const { return user_.empty() ? domain_ : user_ + "@" + domain_; }
  void SetUserName(std::string_view jid);
  const std::string& User() const { return user_; }
  const std::string& Domain() const { return domain_; }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string v);
  const std::string& Resourcename() const { return resource_; }
  void SetResourcename(std::string v);
  uint16_t Port() const { return port_; }
  void SetPort(uint16_t v);
  std::chrono::milliseconds ConnectTimeout() const { return connect_timeout_; }
  void SetConnectTimeout(std::chrono::milliseconds v);
  TSSLMode SSLMode() const { return ssl_mode_; }
  void SetSSLMode(TSSLMode v);
  bool UseDNSSrv() const { return use_dns_srv_; }
  void SetUseDNSSrv(bool v);
  bool RegisterAsNewUser() const { return register_as_new_user_; }
  void SetRegisterAsNewUser(bool v);
  // DNS servers for the SRV lookup; empty: those of /etc/resolv.conf.
  void SetDNSServers(std::vector<platform::DnsServer> v);
  // Trusted CAs (PEM file; empty: the system store) and a certificate the user trusts.
  void SetCAFile(std::string v);
  void SetTrustedFingerprint(std::string v);

  // ---- connection control ----
  void Connect();
  void Disconnect();
  bool Active() const { return active_; }
  bool LoggedIn() const { return logged_in_; }
  // user@domain/resource once bound.
  std::string FullJid() const { return UserName() + "/" + resource_; }
  const std::string& StreamId() const { return stream_id_; }
  // Six random characters and "_", then a counter restarting at every Connect.
  std::string NextId();
  // Raises "Not connected" while inactive.
  void SendXML(std::string_view text);

  // ---- roster and presence ----
  const std::vector<RosterEntry>& Roster() const { return roster_; }
  const RosterEntry* FindRosterEntry(std::string_view jid) const;
  size_t PresenceCount() const { return presences_.size(); }
  PXMPPPresenceRec GetPresence(size_t index) const;
  const std::vector<std::string>& ServiceJids() const { return service_jids_; }
  void AddServiceJid(std::string jid);
  bool IsServiceJid(std::string_view jid) const;
  // The JID without the user part and without the resource.
  static std::string JidDomain(std::string_view jid);
  std::string GetDisplayName(const std::string& jid, const std::string& resource) const;
  std::string GatewayDisplayJid(const std::string& jid) const;
  // Adds to the roster and asks for the contact's presence in one send.
  void AddContact(const std::string& jid, const std::string& group);
  // An empty group takes the contact out of its group.
  void SetContactGroup(const std::string& jid, const std::string& group);
  // A JID without '@' (a gateway) removes every contact at that gateway.
  void RemoveContact(const std::string& jid);
  TXMPPShowType Show() const { return show_; }
  void SetShow(TXMPPShowType v);
  const std::string& StatusMessage() const { return status_message_; }
  void SetStatusMessage(std::string v);
  const std::string& Nick() const { return nick_; }
  void SetNick(std::string v);
  // Sends the own presence when it differs from the last one sent on this connection.
  void SendPresence();

  // Filled in by the profile and gateway components: a contact's nickname from its profile
  // card, and whether a domain is a known gateway.
  std::function<std::string(const std::string& jid)> ProfileNick;
  std::function<bool(const std::string& domain)> IsGateway;

  // ---- messages ----
  void SendChatMessage(const std::string& to, const std::string& text, const TFontSpec& font,
                       const std::string& extra = {});
  void SendNudge(const std::string& to, const std::string& text);
  void SendChatState(const std::string& to, TChatStates state);
  // disco#info answers of the server's items, kept until Disconnect.
  const std::vector<std::unique_ptr<xml::TXMLObject>>& ServiceInfo() const { return service_info_; }

  // ---- routing ----
  xml::TXMLRegistry& Registry() { return registry_; }
  void RegisterXML(std::string_view path, xml::TXMLHandler h) { registry_.RegisterXML(path, h); }
  void UnregisterXML(std::string_view path, xml::TXMLHandler h) {
    registry_.UnregisterXML(path, h);
  }

  // ---- extensions ----
  const std::vector<TXMPPExtension*>& Extensions() const { return extensions_; }
  void AddListener(uint8_t kind, TXMPPListener listener);
  void NotifyListeners(uint8_t kind, void* data, xml::TXMLObject* stanza);

  // ---- events ----
  std::function<void()> OnConnected;
  std::function<void()> OnDisconnected;
  std::function<void(int phase)> OnConnectionPhase;
  std::function<void(TXMPPAuthModes& mode)> BeforeAuthenticate;
  std::function<void(bool success)> AfterAuthenticate;
  std::function<void(bool success)> AfterRegistered;
  std::function<void(const std::string& info, bool exception)> OnDebug;
  std::function<void(const std::string& xml)> BeforeParsing;
  std::function<void(const std::string& xml)> OnSendXML;
  std::function<void(const std::string& jid, const std::string& name, const std::string& group,
                     TXMPPSubscription sub)>
      OnRosterChange;
  std::function<void(PXMPPPresenceRec rec)> OnPresence;
  // request: an inbound subscription request to decide on; false: a contact approved ours.
  std::function<void(const std::string& jid, bool request)> OnSubscribe;
  std::function<void(PXMPPMessageRec msg)> OnMessage;
  std::function<void(const std::string& jid, const std::string& resource, TChatStates state)>
      OnChatState;
  std::function<void(const std::string& jid, const std::string& resource)> OnNudge;
  std::function<void(std::string& name, std::string& version, std::string& os)> OnVersion;

 private:
  friend class TXMPPExtension;

  void CheckInactive() const;
  void Debug(const std::string& text, bool exception = false);
  void RaisePhase();
  void OnThreadMessage(uint32_t code, platform::Payload payload);
  void DispatchStanza(xml::TXMLObject& stanza);
  // The connection has ended: registrations go, the application and extensions are told.
  void Ended(const std::string& reason);
  void ClearLists();
  void CloseStream();

  // login steps (handlers registered by path)
  void HandleFeatures(xml::TXMLObject& features);
  void HandleProceed(xml::TXMLObject& e);
  void HandleRegistered(xml::TXMLObject& e);
  void StartAuthentication(TXMPPAuthModes mode);
  void HandlePlainResult(xml::TXMLObject& e);
  void HandleDigest(xml::TXMLObject& e);
  void HandleScram(xml::TXMLObject& e);
  void HandleNonSaslQuery(xml::TXMLObject& query);
  void HandleNonSaslResult(xml::TXMLObject& iq);
  void SaslSucceeded();
  void SaslFailed(xml::TXMLObject& failure);
  void BindStart();
  void HandleBind(xml::TXMLObject& e);
  void HandleRosterAnswer(xml::TXMLObject& iq);
  void ReportLogin(bool success);
  void HandleRoster(xml::TXMLObject& query);
  void HandlePresence(xml::TXMLObject& presence);
  void HandleMessage(xml::TXMLObject& message);
  void HandleDiscoItems(xml::TXMLObject& iq);
  void HandleDiscoInfo(xml::TXMLObject& iq);
  void HandleDiscoInfoRequest(xml::TXMLObject& query);
  void HandleVersionRequest(xml::TXMLObject& query);
  void SendRosterSet(const std::string& jid, const std::string& group, bool subscribe);
  void ReportRegistration(bool success);

  platform::EventLoop& loop_;
  std::unique_ptr<platform::MessageTarget> channel_;
  std::unique_ptr<TSocketThread> thread_;
  xml::TXMLRegistry registry_;
  std::mt19937 rng_;

  std::string server_ = "localhost";
  std::string user_, domain_, password_;
  std::string resource_ = "quillet1";
  uint16_t port_ = 5222;
  std::chrono::milliseconds connect_timeout_{3000};
  TSSLMode ssl_mode_ = smWhenPossible;
  bool use_dns_srv_ = false;
  bool register_as_new_user_ = false;
  std::vector<platform::DnsServer> dns_servers_;
  std::string ca_file_, trusted_fingerprint_;

  bool active_ = false;
  bool logged_in_ = false;
  bool login_pending_ = false;
  bool registration_pending_ = false;
  bool destroying_ = false;
  bool end_pending_ = false;  // Disconnect ran, XM_ENDED not handled yet
  uint64_t generation_ = 0;
  std::string stream_id_;
  std::string id_prefix_;
  uint64_t id_counter_ = 0;
  int phase_ = 0;
  bool features_seen_ = false;
  bool tls_started_ = false;
  TXMPPAuthModeSet offered_modes_ = 0;
  int sasl_step_ = 0;
  void (TXMPP::*continuation_)() = nullptr;
  std::string bind_id_, session_id_, register_id_, roster_id_;
  int bind_progress_ = 0;
  std::unique_ptr<ScramClient> scram_;

  std::vector<RosterEntry> roster_;
  std::vector<std::unique_ptr<TXMPPPresenceRec>> presences_;
  std::vector<std::string> service_jids_;
  TXMPPShowType show_ = xswAvailable;
  std::string status_message_, nick_, last_presence_;
  bool session_ready_ = false;  // bound: stanzas may flow
  bool collecting_ = false;
  std::string collected_;
  std::string disco_items_id_;
  std::vector<std::unique_ptr<xml::TXMLObject>> service_info_;

  std::vector<TXMPPExtension*> extensions_;
  std::vector<std::pair<uint8_t, TXMPPListener>> listeners_;
};

// A protocol feature beyond the core, attached to one engine and told about the
// connection through these hooks.
class TXMPPExtension {
 public:
  TXMPPExtension() = default;
  virtual ~TXMPPExtension();
  TXMPPExtension(const TXMPPExtension&) = delete;
  TXMPPExtension& operator=(const TXMPPExtension&) = delete;

  TXMPP* XMPP() const { return xmpp_; }
  // Moves the component from its old engine's list to the end of the new one's.
  void SetXMPP(TXMPP* xmpp);

  virtual void DoDisconnected() {}
  virtual void DoLoggedIn() {}
  virtual void DoBuildPresence(xml::TXMLObject& /*presence*/) {}
  virtual void DoGetFeatures(std::vector<std::string>& /*features*/) {}
  virtual void DoServiceInfo(xml::TXMLObject& /*info*/) {}

 private:
  friend class TXMPP;
  TXMPP* xmpp_ = nullptr;
};

}  // namespace quillet::xmpp
