#include "stream_gen.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace quillet::bench {

namespace {

constexpr std::string_view kSelf = "alice@example.net/quillet";
constexpr std::string_view kServer = "example.net";

// splitmix64: tiny and identical everywhere, unlike std::*_distribution.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // [0, n)
  size_t Below(size_t n) { return size_t(Next() % n); }
  size_t Between(size_t lo, size_t hi) { return lo + Below(hi - lo + 1); }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <class T, size_t N>
  const T& Pick(const std::array<T, N>& a) {
    return a[Below(N)];
  }

 private:
  uint64_t s_;
};

using SV = std::string_view;

// Already escaped where needed: the generator writes markup, not text.
constexpr std::array<SV, 24> kGiven = {"Zoë",        "Jürgen",    "Łukasz",
                                       "Søren",      "Ангелина",  "Дмитрий",
                                       "王芳",       "佐藤 花子", "Αλέξης",
                                       "Ömer",       "José",      "Chloé",
                                       "Nguyễn Văn", "محمد",      "יעל",
                                       "Émile",      "Björk",     "Kateřina",
                                       "Ines",       "Mia",       "Seán O&apos;Brien",
                                       "Åsa",        "Iñaki",     "Tom &amp; Jerry"};
constexpr std::array<SV, 16> kFamily = {
    "Müller", "Kowalski",     "Ørsted", "Иванова", "Smith",   "Dubois", "García",   "Novák",
    "Yılmaz", "Παπαδόπουλος", "山田",   "Nyström", "Lefèvre", "Ng",     "Schröder", "Coûteau"};
constexpr std::array<SV, 12> kGroups = {
    "Freunde",    "Коллеги",     "家族",    "Équipe", "Work",    "Famille &amp; amis",
    "Università", "Näher Kreis", "Übersee", "仕事",   "Clients", "Ελλάδα"};
constexpr std::array<SV, 6> kDomains = {"example.org",    "example.com",     "jabber.example",
                                        "im.example.net", "chat.example.de", "xmpp.example.jp"};
constexpr std::array<SV, 6> kResources = {"phone",  "laptop", "desk-3f9a",
                                          "tablet", "work",   "home-pc"};
constexpr std::array<SV, 4> kShow = {"away", "chat", "dnd", "xa"};
constexpr std::array<SV, 64> kWords = {"the",
                                       "and",
                                       "meeting",
                                       "tomorrow",
                                       "ok",
                                       "see",
                                       "you",
                                       "at",
                                       "lunch",
                                       "?",
                                       "!",
                                       "thanks",
                                       "I",
                                       "think",
                                       "we",
                                       "should",
                                       "ship",
                                       "it",
                                       "today",
                                       "no",
                                       "worries",
                                       "lol",
                                       "Grüße",
                                       "naïve",
                                       "café",
                                       "déjà",
                                       "vu",
                                       "Straße",
                                       "über",
                                       "schön",
                                       "привет",
                                       "как",
                                       "дела",
                                       "спасибо",
                                       "日本語",
                                       "です",
                                       "你好",
                                       "谢谢",
                                       "😀",
                                       "👍",
                                       "🎉",
                                       "☕",
                                       "مرحبا",
                                       "שלום",
                                       "γεια",
                                       "ευχαριστώ",
                                       "&amp;",
                                       "&lt;3",
                                       "&gt;",
                                       "&quot;quoted&quot;",
                                       "it&apos;s",
                                       "caf&#233;",
                                       "&#x1F600;",
                                       "&#8364;5",
                                       "&#x263A;",
                                       "a&lt;b&amp;&amp;c&gt;d",
                                       "https://example.com/?q=1&amp;r=2",
                                       "x",
                                       "y",
                                       "maybe",
                                       "later",
                                       "sure",
                                       "build",
                                       "tests"};
constexpr std::array<SV, 6> kStyles = {
    "font-weight: bold",          "color: #336699",
    "font-style: italic",         "font-weight: bold; color: #cc0000",
    "text-decoration: underline", "font-family: monospace; font-size: small"};
constexpr std::array<SV, 5> kStates = {"active", "composing", "paused", "inactive", "gone"};

void Hex(std::string& out, Rng& rng, size_t digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < digits; ++i) out += kHex[rng.Below(16)];
}

void Base64(std::string& out, Rng& rng, size_t chars, size_t line) {
  static constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.reserve(out.size() + chars);
  // Wrapped as vCards usually are: `line` characters, then a newline.
  for (size_t i = 1; i <= chars; ++i) {
    out += (line && i % (line + 1) == 0) ? '\n' : kB64[rng.Below(64)];
  }
}

void Words(std::string& out, Rng& rng, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ' ';
    out += rng.Pick(kWords);
  }
}

// Chat lines are mostly short, sometimes a paragraph, rarely a pasted wall of text.
size_t MessageWords(Rng& rng) {
  size_t r = rng.Below(100);
  if (r < 60) return rng.Between(1, 8);
  if (r < 90) return rng.Between(10, 60);
  return rng.Between(100, 400);
}

void Stamp(std::string& out, Rng& rng) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "2024-%02zu-%02zuT%02zu:%02zu:%02zu.%03zuZ", rng.Between(1, 12),
                rng.Between(1, 28), rng.Below(24), rng.Below(60), rng.Below(60), rng.Below(1000));
  out += buf;
}

class Generator {
 public:
  Generator(const TSessionShape& shape, uint64_t seed) : shape_(shape), rng_(seed) {
    for (size_t i = 0; i < 12; ++i) {
      std::string ver;
      Base64(ver, rng_, 27, 0);
      caps_.push_back(ver + '=');
    }
  }

  TStream& stream() { return s_; }

  void Header() {
    s_.text +=
        "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
        "xmlns:stream='http://etherx.jabber.org/streams' id='";
    Hex(s_.text, rng_, 16);
    s_.text += "' from='";
    s_.text += kServer;
    s_.text += "' version='1.0' xml:lang='en'>";
  }

  void Features() {
    s_.text +=
        "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><required/></bind>"
        "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'><optional/></session>"
        "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' "
        "node='https://server.example/caps' "
        "ver='";
    s_.text += caps_[0];
    s_.text +=
        "'/><sm xmlns='urn:xmpp:sm:3'/><ver xmlns='urn:xmpp:features:rosterver'/>"
        "</stream:features>";
    ++s_.stanzas;
  }

  void Login() {
    s_.text += "<iq type='result' id='bind_1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>";
    s_.text += kSelf;
    s_.text += "</jid></bind></iq>";
    s_.text += "<iq type='result' id='session_1' to='";
    s_.text += kSelf;
    s_.text += "'/>";
    s_.text += "<iq from='example.net' type='result' id='disco_1' to='";
    s_.text += kSelf;
    s_.text +=
        "'><query xmlns='http://jabber.org/protocol/disco#info'>"
        "<identity category='server' type='im' name='Example Server'/>";
    static constexpr std::array<SV, 14> kFeatures = {"http://jabber.org/protocol/disco#info",
                                                     "http://jabber.org/protocol/disco#items",
                                                     "jabber:iq:roster",
                                                     "jabber:iq:version",
                                                     "jabber:iq:last",
                                                     "urn:xmpp:ping",
                                                     "urn:xmpp:time",
                                                     "vcard-temp",
                                                     "msgoffline",
                                                     "urn:xmpp:carbons:2",
                                                     "urn:xmpp:mam:2",
                                                     "urn:xmpp:blocking",
                                                     "http://jabber.org/protocol/commands",
                                                     "jabber:iq:private"};
    for (SV f : kFeatures) {
      s_.text += "<feature var='";
      s_.text += f;
      s_.text += "'/>";
    }
    s_.text += "</query></iq>";
    s_.stanzas += 3;
  }

  void Roster() {
    s_.text += "<iq type='result' id='roster_1' to='";
    s_.text += kSelf;
    s_.text += "'><query xmlns='jabber:iq:roster' ver='ver";
    s_.text += std::to_string(shape_.roster_items);
    s_.text += "'>";
    for (size_t i = 0; i < shape_.roster_items; ++i) RosterItem(i);
    s_.text += "</query></iq>";
    ++s_.stanzas;
  }

  void RosterPush() {
    s_.text += "<iq type='set' id='push";
    s_.text += std::to_string(++pushes_);
    s_.text += "' to='";
    s_.text += kSelf;
    s_.text += "'><query xmlns='jabber:iq:roster' ver='ver";
    s_.text += std::to_string(shape_.roster_items + pushes_);
    s_.text += "'>";
    RosterItem(rng_.Below(Contacts()));
    s_.text += "</query></iq>";
    ++s_.stanzas;
  }

  void Presence() {
    size_t c = rng_.Below(Contacts());
    s_.text += "<presence from='";
    FullJid(c);
    s_.text += "' to='";
    s_.text += kSelf;
    size_t kind = rng_.Below(100);
    if (kind < 3) {
      s_.text += "' type='subscribe'><nick xmlns='http://jabber.org/protocol/nick'>";
      s_.text += rng_.Pick(kGiven);
      s_.text += "</nick></presence>";
      ++s_.stanzas;
      return;
    }
    if (kind < 10) {
      s_.text += "' type='unavailable'><status>";
      Words(s_.text, rng_, rng_.Between(1, 4));
      s_.text += "</status></presence>";
      ++s_.stanzas;
      return;
    }
    s_.text += "' xml:lang='en'>";
    if (rng_.Chance(50)) {
      s_.text += "<show>";
      s_.text += rng_.Pick(kShow);
      s_.text += "</show>";
    }
    if (rng_.Chance(80)) {
      s_.text += "<status>";
      Words(s_.text, rng_, rng_.Between(1, 12));
      s_.text += "</status>";
    }
    s_.text += "<priority>";
    s_.text += std::to_string(rng_.Between(0, 50));
    s_.text +=
        "</priority><c xmlns='http://jabber.org/protocol/caps' hash='sha-1' "
        "node='https://client.example/caps' ver='";
    s_.text += caps_[rng_.Below(caps_.size())];
    s_.text += "'/><x xmlns='vcard-temp:x:update'><photo>";
    if (rng_.Chance(85)) Hex(s_.text, rng_, 40);
    s_.text += "</photo></x>";
    if (rng_.Chance(20)) {
      s_.text += "<delay xmlns='urn:xmpp:delay' from='";
      s_.text += kServer;
      s_.text += "' stamp='";
      Stamp(s_.text, rng_);
      s_.text += "'/>";
    }
    s_.text += "</presence>";
    ++s_.stanzas;
  }

  void Message(bool offline) {
    size_t c = rng_.Below(Contacts());
    s_.text += "<message from='";
    FullJid(c);
    s_.text += "' to='";
    s_.text += kSelf;
    s_.text += "' type='chat' id='m";
    s_.text += std::to_string(++messages_);
    s_.text += '-';
    Hex(s_.text, rng_, 8);
    s_.text += "' xml:lang='en'>";
    if (!offline && rng_.Chance(15)) {
      // A bare chat state notification.
      s_.text += '<';
      s_.text += kStates[1 + rng_.Below(kStates.size() - 1)];
      s_.text += " xmlns='http://jabber.org/protocol/chatstates'/></message>";
      ++s_.stanzas;
      return;
    }
    size_t words = MessageWords(rng_);
    size_t mark = s_.text.size();
    s_.text += "<body>";
    Words(s_.text, rng_, words);
    s_.text += "</body>";
    if (rng_.Chance(25)) {
      std::string plain = s_.text.substr(mark + 6, s_.text.size() - mark - 13);
      s_.text +=
          "<html xmlns='http://jabber.org/protocol/xhtml-im'>"
          "<body xmlns='http://www.w3.org/1999/xhtml'><span style='";
      s_.text += rng_.Pick(kStyles);
      s_.text += "'>";
      size_t split = plain.find(' ', plain.size() / 3);
      if (split == std::string::npos) split = plain.size();
      s_.text.append(plain, 0, split);
      s_.text += "</span>";
      if (rng_.Chance(30)) s_.text += "<br/>";
      if (split < plain.size()) s_.text.append(plain, split);
      if (rng_.Chance(20)) s_.text += " <a href='https://example.com/?a=1&amp;b=2'>link</a>";
      s_.text += "</body></html>";
    }
    if (rng_.Chance(30)) {
      s_.text += "<thread>";
      Hex(s_.text, rng_, 12);
      s_.text += "</thread>";
    }
    s_.text += "<active xmlns='http://jabber.org/protocol/chatstates'/>";
    if (rng_.Chance(40)) s_.text += "<request xmlns='urn:xmpp:receipts'/>";
    if (offline || rng_.Chance(5)) {
      s_.text += "<delay xmlns='urn:xmpp:delay' from='";
      s_.text += kServer;
      s_.text += "' stamp='";
      Stamp(s_.text, rng_);
      s_.text += offline ? "'>Offline Storage</delay>" : "'/>";
    }
    s_.text += "</message>";
    ++s_.stanzas;
  }

  void VCard(size_t photo_bytes) {
    size_t c = rng_.Below(Contacts());
    s_.text += "<iq from='";
    BareJid(c);
    s_.text += "' to='";
    s_.text += kSelf;
    s_.text += "' type='result' id='vc_";
    s_.text += std::to_string(++vcards_);
    s_.text += "'><vCard xmlns='vcard-temp'><FN>";
    s_.text += rng_.Pick(kGiven);
    s_.text += ' ';
    s_.text += rng_.Pick(kFamily);
    s_.text += "</FN><N><FAMILY>";
    s_.text += rng_.Pick(kFamily);
    s_.text += "</FAMILY><GIVEN>";
    s_.text += rng_.Pick(kGiven);
    s_.text += "</GIVEN></N><NICKNAME>nick";
    s_.text += std::to_string(c);
    s_.text += "</NICKNAME><EMAIL><INTERNET/><PREF/><USERID>";
    BareJid(c);
    s_.text += "</USERID></EMAIL><BDAY>1990-04-01</BDAY><DESC>";
    Words(s_.text, rng_, 20);
    s_.text += "</DESC><PHOTO><TYPE>image/png</TYPE><BINVAL>";
    Base64(s_.text, rng_, photo_bytes, 76);
    s_.text += "</BINVAL></PHOTO></vCard></iq>";
    ++s_.stanzas;
  }

  void ServerGet(size_t kind) {
    s_.text += "<iq type='get' id='q";
    s_.text += std::to_string(++gets_);
    s_.text += "' from='";
    if (kind == 0) {
      s_.text += kServer;
    } else {
      FullJid(rng_.Below(Contacts()));
    }
    s_.text += "' to='";
    s_.text += kSelf;
    s_.text += "'>";
    switch (kind) {
      case 0:
        s_.text += "<ping xmlns='urn:xmpp:ping'/>";
        break;
      case 1:
        s_.text += "<query xmlns='jabber:iq:version'/>";
        break;
      default:
        s_.text +=
            "<query xmlns='http://jabber.org/protocol/disco#info' "
            "node='https://quillet.example/caps#";
        s_.text += caps_[0];
        s_.text += "'/>";
        break;
    }
    s_.text += "</iq>";
    ++s_.stanzas;
  }

  // Some servers send a space now and then to keep NATs awake.
  void MaybeKeepAlive() {
    if (rng_.Below(500) == 0) s_.text += ' ';
  }

  void End() { s_.text += "</stream:stream>"; }

  Rng& rng() { return rng_; }

 private:
  size_t Contacts() const { return shape_.roster_items ? shape_.roster_items : 1; }

  void BareJid(size_t c) {
    s_.text += "user";
    s_.text += std::to_string(c);
    s_.text += '@';
    s_.text += kDomains[c % kDomains.size()];
  }

  void FullJid(size_t c) {
    BareJid(c);
    s_.text += '/';
    s_.text += kResources[(c / kDomains.size()) % kResources.size()];
  }

  void RosterItem(size_t c) {
    s_.text += "<item jid='";
    BareJid(c);
    s_.text += '\'';
    if (c % 17 != 0) {
      s_.text += " name='";
      s_.text += rng_.Pick(kGiven);
      s_.text += ' ';
      s_.text += rng_.Pick(kFamily);
      s_.text += '\'';
    }
    size_t sub = rng_.Below(100);
    s_.text += sub < 85   ? " subscription='both'"
               : sub < 95 ? " subscription='to'"
                          : " subscription='none' ask='subscribe'";
    size_t groups = rng_.Below(100) < 70 ? 1 : rng_.Below(3);
    if (groups == 0) {
      s_.text += "/>";
      return;
    }
    s_.text += '>';
    for (size_t g = 0; g < groups; ++g) {
      s_.text += "<group>";
      s_.text += rng_.Pick(kGroups);
      s_.text += "</group>";
    }
    s_.text += "</item>";
  }

  TSessionShape shape_;
  Rng rng_;
  TStream s_;
  std::vector<std::string> caps_;
  size_t pushes_ = 0, messages_ = 0, vcards_ = 0, gets_ = 0;
};

enum class Event : uint8_t { Presence, Message, VCard, Push, Ping, Version, Disco };

}  // namespace

TStream GenerateSessionStream(const TSessionShape& shape) {
  Generator g(shape, 0x5155494C4C4554ull);
  g.Header();
  g.Features();
  g.Login();
  g.Roster();

  // Offline messages arrive right after initial presence is sent, then the presence burst
  // (contacts also ask for our caps), then ordinary traffic.
  size_t offline = shape.messages / 100;
  for (size_t i = 0; i < offline; ++i) g.Message(true);
  size_t burst = shape.presences * 4 / 5;
  size_t burst_messages = 0;
  for (size_t i = 0; i < burst; ++i) {
    g.Presence();
    if (g.rng().Below(100) < 2 && offline + burst_messages < shape.messages) {
      g.Message(false);
      ++burst_messages;
    }
    if (g.rng().Below(200) == 0) g.ServerGet(2);
  }

  std::vector<Event> events;
  events.insert(events.end(), shape.presences - burst, Event::Presence);
  events.insert(events.end(), shape.messages - offline - burst_messages, Event::Message);
  events.insert(events.end(), shape.vcards, Event::VCard);
  events.insert(events.end(), 20, Event::Push);
  events.insert(events.end(), 10, Event::Ping);
  events.insert(events.end(), 3, Event::Version);
  events.insert(events.end(), 40, Event::Disco);
  for (size_t i = events.size(); i > 1; --i) std::swap(events[i - 1], events[g.rng().Below(i)]);
  for (Event e : events) {
    switch (e) {
      case Event::Presence:
        g.Presence();
        break;
      case Event::Message:
        g.Message(false);
        break;
      case Event::VCard:
        g.VCard(shape.vcard_photo_bytes);
        break;
      case Event::Push:
        g.RosterPush();
        break;
      case Event::Ping:
        g.ServerGet(0);
        break;
      case Event::Version:
        g.ServerGet(1);
        break;
      case Event::Disco:
        g.ServerGet(2);
        break;
    }
    g.MaybeKeepAlive();
  }
  g.End();
  return std::move(g.stream());
}

TStream GenerateBigVCardStream(size_t photo_bytes) {
  TSessionShape shape;
  shape.roster_items = 1;
  Generator g(shape, 0x4249475643415244ull);
  g.Header();
  g.VCard(photo_bytes);
  g.End();
  return std::move(g.stream());
}

}  // namespace quillet::bench
