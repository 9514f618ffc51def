// Inbound stream parsing and stanza dispatch: our StreamReader + TXMLRegistry against expat
// and libxml2's SAX2 push parser building the same trees and feeding the same registry,
// on the same bytes in the same reads, interleaved within one run.
//
//   stream_parse [--rounds N] [--scale F] [--only ours|expat|libxml2] [--dump FILE]
//
// --scale shrinks the session (for valgrind); --only runs one parser (for profiling);
// --dump writes the session stream to FILE and exits, to look at what is measured.

#include <expat.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "stream_gen.h"
#include "xml/parser.h"
#include "xml/registry.h"
#include "xml/xmlobject.h"

namespace {

using quillet::bench::TStream;
using quillet::xml::StreamReader;
using quillet::xml::TXMLHandler;
using quillet::xml::TXMLObject;
using quillet::xml::TXMLRegistry;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "stream_parse: %s\n", why.c_str());
  std::exit(1);
}

// What an engine registers at login; every handler only counts, so the figures are the
// parser's and the registry's, and the counts prove all parsers delivered the same.
constexpr std::array<std::string_view, 22> kPaths = {
    "/stream:features/",
    "/stream:features/bind[@xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\"]",
    "/iq[@id=\"bind_1\"]/",
    "/iq[@type=\"result\"]/query[@xmlns=\"jabber:iq:roster\"]/",
    "/iq[@type=\"set\"]/query[@xmlns=\"jabber:iq:roster\"]",
    "/iq[@type=\"result\"]/query[@xmlns=\"http://jabber.org/protocol/disco#info\"]/",
    "/iq[@type=\"get\"]/query[@xmlns=\"jabber:iq:version\"]/",
    "/iq[@type=\"get\"]/query[@xmlns=\"http://jabber.org/protocol/disco#info\"]/",
    "/iq[@type=\"get\"]/ping[@xmlns=\"urn:xmpp:ping\"]",
    "/iq/vCard[@xmlns=\"vcard-temp\"]",
    "/iq[@type=\"error\"]/",
    "/presence/",
    "/presence[@type=\"subscribe\"]/",
    "/presence/x[@xmlns=\"vcard-temp:x:update\"]/photo",
    "/presence/c[@xmlns=\"http://jabber.org/protocol/caps\"]",
    "/message/",
    "/message/body",
    "/message/html[@xmlns=\"http://jabber.org/protocol/xhtml-im\"]/body[@xmlns=\"http://www.w3.org/"
    "1999/xhtml\"]",
    "/message/composing[@xmlns=\"http://jabber.org/protocol/chatstates\"]",
    "/message/active[@xmlns=\"http://jabber.org/protocol/chatstates\"]",
    "/message/delay[@xmlns=\"urn:xmpp:delay\"]",
    "/message/request[@xmlns=\"urn:xmpp:receipts\"]",
};

// Roster items and photo bytes are tallied too: the roster and vCard handlers of a real
// engine walk them.
struct TCounts {
  std::array<size_t, kPaths.size()> calls{};
  size_t roster_items = 0;
  size_t photo_bytes = 0;
  size_t stanzas = 0;
  bool operator==(const TCounts&) const = default;
};

class TEngine {
 public:
  TEngine() { Register<0>(); }

  void Dispatch(TXMLObject& stanza) {
    ++counts.stanzas;
    registry_.DispatchXML(stanza);
  }

  TCounts counts;

 private:
  template <size_t I>
  void Register() {
    if constexpr (I == 3) {
      registry_.RegisterXML(kPaths[I], TXMLHandler::Of<&TEngine::OnRoster>(this));
    } else if constexpr (I == 9) {
      registry_.RegisterXML(kPaths[I], TXMLHandler::Of<&TEngine::OnVCard>(this));
    } else {
      registry_.RegisterXML(kPaths[I], TXMLHandler::Of<&TEngine::Count<I>>(this));
    }
    if constexpr (I + 1 < kPaths.size()) Register<I + 1>();
  }

  template <size_t I>
  void Count(TXMLObject&) {
    ++counts.calls[I];
  }

  void OnRoster(TXMLObject& query) {
    ++counts.calls[3];
    for (const auto& item : query.Children()) counts.roster_items += item->Name == "item";
  }

  void OnVCard(TXMLObject& vcard) {
    ++counts.calls[9];
    if (TXMLObject* photo = vcard.FindChild("PHOTO")) {
      if (TXMLObject* binval = photo->FindChild("BINVAL"))
        counts.photo_bytes += binval->Text.size();
    }
  }

  TXMLRegistry registry_;
};

// ---- the parsers under test: each feeds `text` in reads of `read` bytes ----

class TOurSink : public StreamReader::Sink {
 public:
  explicit TOurSink(TEngine& engine) : engine_(engine) {}
  bool OnHeader(const TXMLObject&) override { return true; }
  void OnStanza(std::unique_ptr<TXMLObject> stanza) override { engine_.Dispatch(*stanza); }

 private:
  TEngine& engine_;
};

void RunOurs(std::string_view text, size_t read, TEngine& engine) {
  TOurSink sink(engine);
  StreamReader reader;
  StreamReader::Status status = StreamReader::Status::Open;
  for (size_t at = 0; at < text.size(); at += read) {
    status = reader.Feed(text.substr(at, read), sink);
    if (status == StreamReader::Status::Failed) Die("ours failed: " + reader.error());
  }
  if (status != StreamReader::Status::Ended) Die("ours did not see the stream end");
}

// The anchors' tree: the stream root stays, each stanza is built below it and detached
// when it closes, as ours does. An element with children keeps no text, as in ours.
class TTreeBuilder {
 public:
  explicit TTreeBuilder(TEngine& engine) : engine_(engine) {}

  void Start(std::string name) {
    if (depth_++ == 0) {
      root_ = std::make_unique<TXMLObject>(std::move(name));
      current_ = root_.get();
      return;
    }
    current_ = current_->AddChild(std::move(name));
  }
  void Attribute(std::string_view name, std::string_view value) {
    if (depth_ > 1) current_->AddAttribute(name, value);
  }
  void Text(std::string_view text) {
    if (depth_ > 1) current_->Text.append(text);
  }
  void End() {
    if (--depth_ == 0) {
      root_.reset();
      current_ = nullptr;
      return;
    }
    TXMLObject* e = current_;
    if (e->ChildCount() > 0) e->Text.clear();
    current_ = e->Parent();
    if (depth_ == 1) {
      std::unique_ptr<TXMLObject> stanza = e->Detach();
      engine_.Dispatch(*stanza);
    }
  }
  bool Finished() const { return depth_ == 0 && !root_; }

 private:
  TEngine& engine_;
  std::unique_ptr<TXMLObject> root_;
  TXMLObject* current_ = nullptr;
  int depth_ = 0;
};

void RunExpat(std::string_view text, size_t read, TEngine& engine) {
  TTreeBuilder tree(engine);
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &tree);
  XML_SetElementHandler(
      parser,
      [](void* user, const XML_Char* name, const XML_Char** atts) {
        auto& t = *static_cast<TTreeBuilder*>(user);
        t.Start(name);
        for (; *atts; atts += 2) t.Attribute(atts[0], atts[1]);
      },
      [](void* user, const XML_Char*) { static_cast<TTreeBuilder*>(user)->End(); });
  XML_SetCharacterDataHandler(parser, [](void* user, const XML_Char* s, int len) {
    static_cast<TTreeBuilder*>(user)->Text(std::string_view(s, size_t(len)));
  });
  for (size_t at = 0; at < text.size(); at += read) {
    std::string_view chunk = text.substr(at, read);
    if (XML_Parse(parser, chunk.data(), int(chunk.size()), XML_FALSE) != XML_STATUS_OK) {
      Die(std::string("expat failed: ") + XML_ErrorString(XML_GetErrorCode(parser)));
    }
  }
  if (XML_Parse(parser, nullptr, 0, XML_TRUE) != XML_STATUS_OK) {
    Die(std::string("expat failed at end: ") + XML_ErrorString(XML_GetErrorCode(parser)));
  }
  XML_ParserFree(parser);
  if (!tree.Finished()) Die("expat did not see the stream end");
}

void LibXmlStart(void* ctx, const xmlChar* local, const xmlChar* prefix, const xmlChar*,
                 int nb_namespaces, const xmlChar** namespaces, int nb_attributes, int,
                 const xmlChar** attributes) {
  auto& t = *static_cast<TTreeBuilder*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
  auto str = [](const xmlChar* s) { return std::string_view(reinterpret_cast<const char*>(s)); };
  std::string name;
  if (prefix) {
    name = str(prefix);
    name += ':';
  }
  name += str(local);
  t.Start(std::move(name));
  // Declarations come first: every generated tag writes xmlns before other attributes.
  std::string attr;
  for (int i = 0; i < nb_namespaces; ++i) {
    attr = "xmlns";
    if (namespaces[2 * i]) {
      attr += ':';
      attr += str(namespaces[2 * i]);
    }
    t.Attribute(attr, str(namespaces[2 * i + 1]));
  }
  for (int i = 0; i < nb_attributes; ++i) {
    const xmlChar** a = attributes + 5 * i;
    std::string_view value(reinterpret_cast<const char*>(a[3]), size_t(a[4] - a[3]));
    if (a[1]) {
      attr = str(a[1]);
      attr += ':';
      attr += str(a[0]);
      t.Attribute(attr, value);
    } else {
      t.Attribute(str(a[0]), value);
    }
  }
}

void RunLibXml(std::string_view text, size_t read, TEngine& engine) {
  TTreeBuilder tree(engine);
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = LibXmlStart;
  sax.endElementNs = [](void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
    static_cast<TTreeBuilder*>(static_cast<xmlParserCtxtPtr>(ctx)->_private)->End();
  };
  sax.characters = [](void* ctx, const xmlChar* s, int len) {
    static_cast<TTreeBuilder*>(static_cast<xmlParserCtxtPtr>(ctx)->_private)
        ->Text(std::string_view(reinterpret_cast<const char*>(s), size_t(len)));
  };
  sax.ignorableWhitespace = sax.characters;
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
  if (!ctxt) Die("libxml2: no parser context");
  ctxt->_private = &tree;
  // No DTD, no network; the 4 MiB photo is one text node.
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_HUGE);
  for (size_t at = 0; at < text.size(); at += read) {
    std::string_view chunk = text.substr(at, read);
    if (xmlParseChunk(ctxt, chunk.data(), int(chunk.size()), 0) != 0) {
      const xmlError* e = xmlCtxtGetLastError(ctxt);
      Die(std::string("libxml2 failed: ") + (e && e->message ? e->message : "?"));
    }
  }
  if (xmlParseChunk(ctxt, nullptr, 0, 1) != 0) Die("libxml2 failed at end");
  xmlFreeParserCtxt(ctxt);
  if (!tree.Finished()) Die("libxml2 did not see the stream end");
}

enum Parser { kOurs, kExpat, kLibXml, kParsers };
constexpr std::array<const char*, kParsers> kParserNames = {"quillet", "expat", "libxml2"};

// Seconds for one whole feed; the engine (registrations) is set up outside the clock.
double TimeRun(Parser p, std::string_view text, size_t read, TCounts& counts) {
  TEngine engine;
  auto start = std::chrono::steady_clock::now();
  switch (p) {
    case kOurs:
      RunOurs(text, read, engine);
      break;
    case kExpat:
      RunExpat(text, read, engine);
      break;
    case kLibXml:
      RunLibXml(text, read, engine);
      break;
    case kParsers:
      break;
  }
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - start;
  counts = engine.counts;
  return d.count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string ReadLabel(size_t read) {
  if (read >= (size_t(1) << 20) && read % (size_t(1) << 20) == 0)
    return std::to_string(read >> 20) + " MiB";
  if (read >= 1024 && read % 1024 == 0) return std::to_string(read >> 10) + " KiB";
  return std::to_string(read) + " B";
}

// Every parser that ran must have seen what the first one saw, down to handler calls.
void Verify(const std::vector<bool>& enabled, const std::array<TCounts, kParsers>& c,
            size_t expected_stanzas, const std::string& where) {
  int first = -1;
  for (int p = 0; p < kParsers; ++p) {
    if (!enabled[size_t(p)]) continue;
    if (c[size_t(p)].stanzas != expected_stanzas) {
      Die(where + ": " + kParserNames[size_t(p)] + " saw " + std::to_string(c[size_t(p)].stanzas) +
          " stanzas, the stream has " + std::to_string(expected_stanzas));
    }
    if (first < 0) {
      first = p;
      continue;
    }
    const TCounts& a = c[size_t(first)];
    const TCounts& b = c[size_t(p)];
    if (a == b) continue;
    std::string why =
        where + ": " + kParserNames[size_t(first)] + " and " + kParserNames[size_t(p)] + " differ:";
    for (size_t i = 0; i < kPaths.size(); ++i) {
      if (a.calls[i] != b.calls[i]) {
        why += "\n  " + std::string(kPaths[i]) + ": " + std::to_string(a.calls[i]) + " vs " +
               std::to_string(b.calls[i]);
      }
    }
    if (a.roster_items != b.roster_items) why += "\n  roster items differ";
    if (a.photo_bytes != b.photo_bytes) why += "\n  photo bytes differ";
    Die(why);
  }
}

struct TOptions {
  int rounds = 7;
  double scale = 1.0;
  std::vector<bool> enabled = {true, true, true};
  std::string dump;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Die("missing value after " + std::string(a));
      return argv[++i];
    };
    if (a == "--rounds") {
      o.rounds = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--scale") {
      o.scale = std::atof(value().c_str());
      if (!(o.scale > 0 && o.scale <= 1)) Die("--scale wants a number in (0, 1]");
    } else if (a == "--only") {
      std::string which = value();
      o.enabled.assign(kParsers, false);
      bool known = false;
      for (size_t p = 0; p < kParsers; ++p) {
        if (which == kParserNames[p] || (p == kOurs && which == "ours"))
          o.enabled[p] = known = true;
      }
      if (!known) Die("--only wants ours, expat or libxml2");
    } else if (a == "--dump") {
      o.dump = value();
    } else {
      Die("usage: stream_parse [--rounds N] [--scale F] [--only ours|expat|libxml2] [--dump FILE]");
    }
  }
  return o;
}

void SessionBenchmark(const TOptions& o) {
  quillet::bench::TSessionShape shape;
  auto scaled = [&](size_t n) { return std::max<size_t>(1, size_t(double(n) * o.scale)); };
  shape.roster_items = scaled(shape.roster_items);
  shape.presences = scaled(shape.presences);
  shape.messages = scaled(shape.messages);
  const TStream stream = quillet::bench::GenerateSessionStream(shape);
  const std::string_view text = stream.text;
  if (!o.dump.empty()) {
    std::FILE* f = std::fopen(o.dump.c_str(), "wb");
    if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
      Die("cannot write " + o.dump);
    }
    std::exit(0);
  }
  constexpr std::array<size_t, 3> kReads = {1024, 16 * 1024, 256 * 1024};

  std::printf(
      "stream_parse: session stream of %.2f MB, %zu stanzas (%zu roster items, %zu "
      "presences, %zu messages, %zu vCards); median of %d interleaved rounds; MB = 10^6 B\n\n",
      double(text.size()) / 1e6, stream.stanzas, shape.roster_items, shape.presences,
      shape.messages, shape.vcards, o.rounds);

  // times[read][parser][round]; round 0 only warms up.
  std::array<std::array<std::vector<double>, kParsers>, kReads.size()> times;
  for (int round = 0; round <= o.rounds; ++round) {
    for (size_t r = 0; r < kReads.size(); ++r) {
      std::array<TCounts, kParsers> counts;
      for (size_t p = 0; p < kParsers; ++p) {
        if (!o.enabled[p]) continue;
        double t = TimeRun(Parser(p), text, kReads[r], counts[p]);
        if (round > 0) times[r][p].push_back(t);
      }
      Verify(o.enabled, counts, stream.stanzas, ReadLabel(kReads[r]) + " reads");
    }
  }

  std::printf("%-10s %-9s %10s %12s %11s\n", "read", "parser", "MB/s", "stanzas/s", "median ms");
  bool all_met = true, ratio_known = o.enabled[kOurs] && (o.enabled[kExpat] || o.enabled[kLibXml]);
  for (size_t r = 0; r < kReads.size(); ++r) {
    std::array<double, kParsers> mbs{};
    for (size_t p = 0; p < kParsers; ++p) {
      if (!o.enabled[p]) continue;
      double t = Median(times[r][p]);
      mbs[p] = double(text.size()) / 1e6 / t;
      std::printf("%-10s %-9s %10.1f %12.0f %11.2f\n",
                  p == 0 || !o.enabled[0] ? ReadLabel(kReads[r]).c_str() : "", kParserNames[p],
                  mbs[p], double(stream.stanzas) / t, t * 1e3);
    }
    if (ratio_known) {
      size_t best = mbs[kExpat] >= mbs[kLibXml] ? kExpat : kLibXml;
      double ratio = mbs[kOurs] / mbs[best];
      bool met = ratio >= 1.0;
      all_met = all_met && met;
      std::printf("%-10s ratio to %s (the faster anchor): %.2f  goal >= 1.0: %s\n", "",
                  kParserNames[best], ratio, met ? "met" : "MISSED");
    }
    std::printf("\n");
  }
  if (ratio_known)
    std::printf("read-size goal (ratio >= 1.0 at every read size): %s\n\n",
                all_met ? "met" : "MISSED");
}

void BigStanzaBenchmark(const TOptions& o) {
  constexpr size_t kPhoto = size_t(4) << 20;
  const TStream stream = quillet::bench::GenerateBigVCardStream(kPhoto);
  const std::string_view text = stream.text;
  constexpr std::array<size_t, 2> kModes = {1024, 0};  // 0: the whole stream in one read

  std::printf(
      "one stanza of %.2f MB (vCard with a 4 MiB BINVAL); median of %d interleaved rounds\n\n",
      double(text.size()) / 1e6, o.rounds);
  std::array<std::array<std::vector<double>, kParsers>, kModes.size()> times;
  for (int round = 0; round <= o.rounds; ++round) {
    for (size_t m = 0; m < kModes.size(); ++m) {
      size_t read = kModes[m] ? kModes[m] : text.size();
      std::array<TCounts, kParsers> counts;
      for (size_t p = 0; p < kParsers; ++p) {
        if (!o.enabled[p]) continue;
        double t = TimeRun(Parser(p), text, read, counts[p]);
        if (round > 0) times[m][p].push_back(t);
        if (counts[p].photo_bytes != kPhoto)
          Die(std::string(kParserNames[p]) + " lost photo bytes");
      }
      Verify(o.enabled, counts, stream.stanzas, "4 MiB stanza");
    }
  }
  std::printf("%-9s %12s %12s %8s\n", "parser", "1 KiB ms", "1 read ms", "ratio");
  for (size_t p = 0; p < kParsers; ++p) {
    if (!o.enabled[p]) continue;
    double small = Median(times[0][p]), whole = Median(times[1][p]);
    std::printf("%-9s %12.2f %12.2f %8.2f", kParserNames[p], small * 1e3, whole * 1e3,
                small / whole);
    if (p == kOurs) std::printf("  goal <= 2: %s", small / whole <= 2 ? "met" : "MISSED");
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options = ParseOptions(argc, argv);
  xmlInitParser();
  SessionBenchmark(options);
  BigStanzaBenchmark(options);
  xmlCleanupParser();
  return 0;
}
