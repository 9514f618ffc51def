// The roster, contacts' presence and the own presence.
#include <algorithm>

#include "xml/registry.h"
#include "xmpp/xmpp.h"

namespace quillet::xmpp {

using xml::EscapeXML;
using xml::TXMLObject;

TXMPPSubscription SubscriptionFromText(std::string_view text) {
  if (text == "none") return xsNone;
  if (text == "to") return xsTo;
  if (text == "from") return xsFrom;
  if (text == "both") return xsBoth;
  if (text == "remove") return xsRemove;
  return xsUnknown;
}

const RosterEntry* TXMPP::FindRosterEntry(std::string_view jid) const {
  for (const auto& e : roster_) {
    if (e.Jid == jid) return &e;
  }
  return nullptr;
}

PXMPPPresenceRec TXMPP::GetPresence(size_t index) const {
  return index < presences_.size() ? presences_[index].get() : nullptr;
}

void TXMPP::AddServiceJid(std::string jid) {
  service_jids_.push_back(std::move(jid));
}

bool TXMPP::IsServiceJid(std::string_view jid) const {
  return std::find(service_jids_.begin(), service_jids_.end(), jid) != service_jids_.end();
}

std::string TXMPP::JidDomain(std::string_view jid) {
  size_t at = jid.find('@');
  if (at != std::string_view::npos) jid.remove_prefix(at + 1);
  return std::string(jid.substr(0, jid.find('/')));
}

std::string TXMPP::GatewayDisplayJid(const std::string& jid) const {
  size_t at = jid.rfind('@');
  if (at == std::string::npos) return jid;
  if (!IsGateway || !IsGateway(jid.substr(at + 1))) return jid;
  std::string user = jid.substr(0, at);
  if (size_t pct = user.find('%'); pct != std::string::npos) user[pct] = '@';
  return user;
}

std::string TXMPP::GetDisplayName(const std::string& jid, const std::string& resource) const {
  for (const auto& p : presences_) {
    if (p->Jid == jid && p->Resource == resource && !p->Nick.empty()) return p->Nick;
  }
  if (ProfileNick) {
    if (std::string nick = ProfileNick(jid); !nick.empty()) return nick;
  }
  if (const RosterEntry* e = FindRosterEntry(jid); e && !e->Name.empty()) return e->Name;
  std::string shown = GatewayDisplayJid(jid);
  if (!resource.empty()) shown += "/" + resource;
  return shown;
}

// ---- roster ----

void TXMPP::SendRosterSet(const std::string& jid, const std::string& group, bool subscribe) {
  std::string xml = "<iq type=\"set\" id=\"" + NextId() +
                    "\"><query xmlns=\"jabber:iq:roster\"><item jid=\"" + EscapeXML(jid) + "\">";
  if (!group.empty()) xml += "<group>" + EscapeXML(group) + "</group>";
  xml += "</item></query></iq>";
  if (subscribe) xml += "<presence to=\"" + EscapeXML(jid) + "\" type=\"subscribe\"/>";
  SendXML(xml);
}

void TXMPP::AddContact(const std::string& jid, const std::string& group) {
  SendRosterSet(jid, group, true);
}

void TXMPP::SetContactGroup(const std::string& jid, const std::string& group) {
  SendRosterSet(jid, group, false);
}

void TXMPP::RemoveContact(const std::string& jid) {
  auto remove = [this](const std::string& j) {
    SendXML("<iq type=\"set\" id=\"" + NextId() +
            "\"><query xmlns=\"jabber:iq:roster\"><item subscription=\"remove\" jid=\"" +
            EscapeXML(j) + "\"/></query></iq>");
  };
  if (jid.find('@') == std::string::npos) {
    // A gateway: every contact behind it goes too.
    for (const auto& e : std::vector(roster_)) {
      if (e.Jid.find('@') != std::string::npos && e.Jid.ends_with(jid)) remove(e.Jid);
    }
  }
  if (FindRosterEntry(jid)) remove(jid);
}

void TXMPP::HandleRoster(TXMLObject& query) {
  TXMLObject* iq = query.Parent();
  if (!iq) return;
  const std::string type = iq->GetAttribute("type");
  if (type != "set" && type != "result") return;
  // Only the server speaks for our roster; a push from anyone else is ignored.
  const std::string& from = iq->GetAttribute("from");
  if (!from.empty() && from != UserName() && from != FullJid() && from != domain_) {
    Debug("roster push from " + from + " ignored");
    iq->SetAttribute("type", "result");
    return;
  }
  for (const auto& child : query.Children()) {
    if (child->Name != "item") continue;
    const std::string jid = child->GetAttribute("jid");
    const std::string name = child->GetAttribute("name");
    const TXMPPSubscription sub = SubscriptionFromText(child->GetAttribute("subscription"));
    const TXMLObject* g = child->FindChild("group");
    const std::string group = g ? g->Text : std::string();
    if (sub == xsRemove) {
      auto it = std::find_if(roster_.begin(), roster_.end(),
                             [&](const RosterEntry& e) { return e.Jid == jid; });
      if (it != roster_.end()) roster_.erase(it);
    } else if (auto* e = const_cast<RosterEntry*>(FindRosterEntry(jid))) {
      e->Name = name;
      e->Group = group;
      e->Subscription = sub;
    } else {
      roster_.push_back({jid, name, sub, group});
    }
    if (OnRosterChange) {
      try {
        OnRosterChange(jid, name, group, sub);
      } catch (const std::exception&) {
        Debug("roster item exception jid=\"" + jid + "\" name=\"" + name + "\" group=\"" + group +
                  "\"",
              true);
      }
    }
  }
  // Keeps the push from being answered with an error.
  if (type == "set") iq->SetAttribute("type", "result");
}

// ---- presence ----

void TXMPP::HandlePresence(TXMLObject& presence) {
  NotifyListeners(kListenPresence, nullptr, &presence);
  const std::string from = presence.GetAttribute("from");
  const size_t slash = from.find('/');
  const std::string jid = from.substr(0, slash);
  const std::string resource = slash == std::string::npos ? std::string() : from.substr(slash + 1);
  const std::string type = presence.GetAttribute("type");

  if (type == "subscribe") {
    if (IsServiceJid(jid)) {
      SendXML("<presence to=\"" + EscapeXML(jid) + "\" type=\"subscribed\"/><presence to=\"" +
              EscapeXML(jid) + "\"/>");
      return;
    }
    const RosterEntry* e = FindRosterEntry(jid);
    if (!e || (e->Subscription == xsFrom && OnSubscribe)) {
      if (OnSubscribe) OnSubscribe(jid, true);
    } else if (e->Subscription == xsTo) {
      // We asked for theirs already: approving is what the user wants.
      SendXML("<presence to=\"" + EscapeXML(jid) + "\" type=\"subscribed\"/>");
    }
    return;
  }
  if (type == "subscribed") {
    if (OnSubscribe) OnSubscribe(jid, false);
    return;
  }

  TXMPPPresenceRec* rec = nullptr;
  for (const auto& p : presences_) {
    if (p->Jid == jid && p->Resource == resource) rec = p.get();
  }
  if (!rec) {
    presences_.push_back(std::make_unique<TXMPPPresenceRec>());
    rec = presences_.back().get();
    rec->Jid = jid;
    rec->Resource = resource;
  }
  rec->PrevShow = rec->Show;
  rec->Show = xswAvailable;
  if (const TXMLObject* show = presence.FindChild("show")) {
    if (show->Text == "chat") rec->Show = xswChat;
    if (show->Text == "dnd") rec->Show = xswDnD;
    if (show->Text == "away") rec->Show = xswAway;
    if (show->Text == "xa") rec->Show = xswXa;
  }
  if (type == "unavailable") rec->Show = xswUnavailable;
  if (type == "error") rec->Show = xswError;
  if (rec->Show != xswError) {
    const TXMLObject* status = presence.FindChild("status");
    rec->Status = status ? status->Text : std::string();
    std::string nick;
    if (const TXMLObject* n =
            xml::FindXML(&presence, "/x[@xmlns=\"vcard-temp:x:update\"]/nickname")) {
      nick = n->Text;
    }
    if (const TXMLObject* n =
            xml::FindXML(&presence, "/nick[@xmlns=\"http://jabber.org/protocol/nick\"]")) {
      nick = n->Text;
    }
    rec->Nick = nick;
  }
  if (OnPresence) OnPresence(rec);
}

void TXMPP::SetShow(TXMPPShowType v) {
  show_ = v;
  SendPresence();
}

void TXMPP::SetStatusMessage(std::string v) {
  status_message_ = std::move(v);
  SendPresence();
}

void TXMPP::SetNick(std::string v) {
  if (v == nick_) return;
  nick_ = std::move(v);
  SendPresence();
}

void TXMPP::SendPresence() {
  // Before the session is bound a stanza would make the server close the stream.
  if (!active_ || !session_ready_) return;
  TXMLObject presence("presence");
  static const char* const kShow[] = {nullptr, nullptr, "chat", "dnd", "away", "xa"};
  if (show_ == xswUnavailable) {
    presence.SetAttribute("type", "unavailable");
  } else if (show_ != xswAvailable) {
    TXMLObject* show = presence.AddChild("show");
    if (show_ >= xswChat && show_ <= xswXa) show->Text = kShow[show_];
  }
  if (!status_message_.empty()) presence.AddChild("status")->Text = EscapeXML(status_message_);
  if (!nick_.empty()) {
    TXMLObject* nick = presence.AddChild("nick");
    nick->SetAttribute("xmlns", "http://jabber.org/protocol/nick");
    nick->Text = EscapeXML(nick_);
  }
  for (TXMPPExtension* e : std::vector(extensions_)) e->DoBuildPresence(presence);
  std::string text = presence.GetXML();
  if (text == last_presence_) return;
  last_presence_ = text;
  SendXML(text);
}

}  // namespace quillet::xmpp
