// Messages, chat states, nudges, service discovery and the version answer.
#include <cstdio>
#include <ctime>

#include "xml/registry.h"
#include "xmpp/xmpp.h"

namespace quillet::xmpp {

using xml::EscapeXML;
using xml::TXMLHandler;
using xml::TXMLObject;

namespace {

constexpr std::string_view kChatStatesNs = "http://jabber.org/protocol/chatstates";
const char* const kStateNames[] = {nullptr, "active", "composing", "paused", "inactive", "gone"};

std::string IdPath(const std::string& id) {
  return "/iq[@id=\"" + id + "\"]/";
}

// Days from 1899-12-30 (the date-time epoch the stamps are kept in) to 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

bool Digits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

}  // namespace

double DelayStampToLocal(std::string_view s) {
  int y, mo, d, h, mi, sec;
  size_t rest;
  if (s.size() >= 17 && s[8] == 'T' && s[11] == ':') {
    // Compact form: 20070101T12:00:00
    if (!Digits(s, 0, 4, y) || !Digits(s, 4, 2, mo) || !Digits(s, 6, 2, d) || !Digits(s, 9, 2, h) ||
        !Digits(s, 12, 2, mi) || s[14] != ':' || !Digits(s, 15, 2, sec)) {
      return 0;
    }
    rest = 17;
  } else if (s.size() >= 19 && s[4] == '-' && s[7] == '-' && s[10] == 'T' && s[13] == ':' &&
             s[16] == ':') {
    // Extended form: 2007-01-01T12:00:00[.fraction](Z|+hh:mm|-hh:mm)
    if (!Digits(s, 0, 4, y) || !Digits(s, 5, 2, mo) || !Digits(s, 8, 2, d) ||
        !Digits(s, 11, 2, h) || !Digits(s, 14, 2, mi) || !Digits(s, 17, 2, sec)) {
      return 0;
    }
    rest = 19;
  } else {
    return 0;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return 0;
  double fraction = 0;
  if (rest < s.size() && s[rest] == '.') {
    double scale = 0.1;
    size_t i = rest + 1;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
      fraction += (s[i] - '0') * scale;
    if (i == rest + 1) return 0;
    rest = i;
  }
  long offset_s = 0;
  std::string_view zone = s.substr(rest);
  if (zone == "Z" || (zone.empty() && s.size() == 17)) {
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int oh, om;
    if (!Digits(zone, 1, 2, oh) || !Digits(zone, 4, 2, om)) return 0;
    offset_s = (oh * 3600L + om * 60L) * (zone[0] == '+' ? 1 : -1);
  } else {
    return 0;
  }
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = sec;
  time_t utc = timegm(&t) - offset_s;
  std::tm local{};
  localtime_r(&utc, &local);
  return kUnixEpochDays + (double(utc) + fraction + double(local.tm_gmtoff)) / 86400.0;
}

std::string FontToXHTML(const TFontSpec& f, std::string_view text) {
  char color[8];
  std::snprintf(color, sizeof color, "%02X%02X%02X", f.Color & 0xFF, (f.Color >> 8) & 0xFF,
                (f.Color >> 16) & 0xFF);
  std::string out =
      "<html xmlns=\"http://jabber.org/protocol/xhtml-im\"><body "
      "xmlns=\"http://www.w3.org/1999/xhtml\"><span style=\"";
  out += std::string("font-weight: ") + (f.Bold ? "bold;" : "normal;");
  out += std::string("font-style: ") + (f.Italic ? "italic;" : "normal;");
  if (f.Underline || f.StrikeOut) {
    out += "text-decoration:";
    if (f.Underline) out += " underline";
    if (f.StrikeOut) out += " line-through";
    out += ";";
  }
  out += "font-size: " + std::to_string(f.Size) + "pt; ";
  out += std::string("color: #") + color + "; ";
  out += "font-family: " + EscapeXML(f.Name) + "; ";
  out += "\">";
  std::string line;
  bool first = true;
  auto flush = [&] {
    if (!first) out += "<br/>";
    first = false;
    out += EscapeXML(line);
    line.clear();
  };
  for (char c : text) {
    if (c == '\n') continue;
    if (c == '\r') {
      flush();
    } else {
      line += c;
    }
  }
  flush();
  out += "</span></body></html>";
  return out;
}

// ---- sending ----

void TXMPP::SendChatMessage(const std::string& to, const std::string& text, const TFontSpec& font,
                            const std::string& extra) {
  SendXML("<message to=\"" + EscapeXML(to) + "\" type=\"chat\"><body>" + EscapeXML(text) +
          "</body>" + FontToXHTML(font, text) + extra + "</message>");
}

void TXMPP::SendNudge(const std::string& to, const std::string& text) {
  SendXML("<message to=\"" + EscapeXML(to) + "\" type=\"chat\"><body>" + EscapeXML(text) +
          "</body><nudge xmlns=\"" + std::string(kNudgeNs) + "\"/></message>");
}

void TXMPP::SendChatState(const std::string& to, TChatStates state) {
  if (state == csNone) throw EXMPPException("no chat state to send");
  SendXML("<message to=\"" + EscapeXML(to) + "\" type=\"chat\"><" + kStateNames[state] +
          " xmlns=\"http://jabber.org/protocol/chatstates\"/></message>");
}

// ---- inbound ----

void TXMPP::HandleMessage(TXMLObject& m) {
  const std::string from = m.GetAttribute("from");
  const size_t slash = from.find('/');
  const std::string jid = from.substr(0, slash);
  const std::string resource = slash == std::string::npos ? std::string() : from.substr(slash + 1);
  if (OnChatState) {
    for (int st = csActive; st <= csGone; ++st) {
      const TXMLObject* c = m.FindChild(kStateNames[st]);
      if (c && c->GetAttribute("xmlns") == kChatStatesNs) {
        OnChatState(jid, resource, TChatStates(st));
        break;
      }
    }
  }
  const TXMLObject* nudge = m.FindChild("nudge");
  if (nudge && nudge->GetAttribute("xmlns") == kNudgeNs && m.GetAttribute("type") == "chat") {
    if (OnNudge) OnNudge(jid, resource);
    return;
  }
  if (!OnMessage) return;
  TXMPPMessageRec rec;
  rec.Jid = jid;
  rec.Resource = resource;
  rec.MsgType = m.GetAttribute("type");
  if (const TXMLObject* e = m.FindChild("subject")) rec.Subject = e->Text;
  if (const TXMLObject* e = m.FindChild("body")) rec.Body = e->Text;
  if (const TXMLObject* e = xml::FindXML(&m,
                                         "/html[@xmlns=\"http://jabber.org/protocol/xhtml-im\"]/"
                                         "body[@xmlns=\"http://www.w3.org/1999/xhtml\"]")) {
    rec.XHTML = e->Text;
  }
  if (const TXMLObject* e = m.FindChild("sound")) rec.Sound = e->Text;
  // Offline messages carry the current form; older servers the legacy one.
  for (const auto& c : m.Children()) {
    const std::string& ns = c->GetAttribute("xmlns");
    if ((c->Name == "delay" && ns == "urn:xmpp:delay") ||
        (c->Name == "x" && ns == "jabber:x:delay")) {
      rec.Stamp = DelayStampToLocal(c->GetAttribute("stamp"));
      if (c->Name == "delay") break;
    }
  }
  NotifyListeners(kListenMessage, &rec, &m);
  if (!rec.Body.empty() || !rec.XHTML.empty()) OnMessage(&rec);
}

void TXMPP::HandleDiscoItems(TXMLObject& iq) {
  registry_.UnregisterXML(IdPath(disco_items_id_), TXMLHandler::Of<&TXMPP::HandleDiscoItems>(this));
  if (iq.GetAttribute("type") != "result") return;
  const TXMLObject* query = iq.FindChild("query");
  if (!query) return;
  for (const auto& item : query->Children()) {
    if (item->Name != "item") continue;
    const std::string& jid = item->GetAttribute("jid");
    if (jid.empty()) continue;
    AddServiceJid(jid);
    std::string id = NextId();
    registry_.RegisterXML(IdPath(id), TXMLHandler::Of<&TXMPP::HandleDiscoInfo>(this));
    SendXML("<iq type=\"get\" to=\"" + jid + "\" id=\"" + id +
            "\"><query xmlns=\"http://jabber.org/protocol/disco#info\"/></iq>");
  }
}

void TXMPP::HandleDiscoInfo(TXMLObject& iq) {
  registry_.UnregisterXML(IdPath(iq.GetAttribute("id")),
                          TXMLHandler::Of<&TXMPP::HandleDiscoInfo>(this));
  if (iq.GetAttribute("type") != "result") return;
  service_info_.push_back(iq.Clone());
  TXMLObject& copy = *service_info_.back();
  for (TXMPPExtension* e : std::vector(extensions_)) e->DoServiceInfo(copy);
}

void TXMPP::HandleDiscoInfoRequest(TXMLObject& query) {
  TXMLObject* request = query.Parent();
  if (!request) return;
  auto answer = request->Clone();
  answer->SetAttribute("to", request->GetAttribute("from"));
  answer->SetAttribute("from", "");
  answer->SetAttribute("type", "result");
  TXMLObject* q = answer->FindChild("query");
  TXMLObject* identity = q->AddChild("identity");
  identity->SetAttribute("category", "client");
  identity->SetAttribute("type", "pc");
  std::vector<std::string> features = {"http://jabber.org/protocol/disco#info",
                                       "jabber:iq:version",
                                       std::string(kChatStatesNs),
                                       std::string(kVideoNs),
                                       std::string(kNudgeNs),
                                       std::string(kSoundNs),
                                       std::string(kSoundClipNs)};
  for (TXMPPExtension* e : std::vector(extensions_)) {
    std::vector<std::string> more;
    e->DoGetFeatures(more);
    features.insert(features.end(), more.begin(), more.end());
  }
  for (const auto& f : features) q->AddChild("feature")->SetAttribute("var", EscapeXML(f));
  SendXML(answer->GetXML());
  request->SetAttribute("type", "result");
}

void TXMPP::HandleVersionRequest(TXMLObject& query) {
  TXMLObject* request = query.Parent();
  if (!request) return;
  request->SetAttribute("type", "result");
  std::string name = "quillet1", version = QUILLET_VERSION, os = "Linux";
  if (OnVersion) OnVersion(name, version, os);
  std::string xml = "<iq type=\"result\" to=\"" + request->GetAttribute("from") + "\"";
  if (const std::string& id = request->GetAttribute("id"); !id.empty()) xml += " id=\"" + id + "\"";
  xml += "><query xmlns=\"jabber:iq:version\">";
  if (!name.empty()) xml += "<name>" + EscapeXML(name) + "</name>";
  if (!version.empty()) xml += "<version>" + EscapeXML(version) + "</version>";
  if (!os.empty()) xml += "<os>" + EscapeXML(os) + "</os>";
  SendXML(xml + "</query></iq>");
}

}  // namespace quillet::xmpp
