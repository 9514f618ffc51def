#include "xml/parser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace quillet::xml {
namespace {

constexpr std::string_view kHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
    "xmlns:stream='http://etherx.jabber.org/streams' id='s1' version='1.0'>";

// Collects what a StreamReader delivers.
struct Collector : StreamReader::Sink {
  bool OnHeader(const TXMLObject& root) override {
    header = root.Name + " id=" + root.GetAttribute("id");
    return accept_header;
  }
  void OnRawText(std::string_view text) override { raw += text; }
  void OnStanza(std::unique_ptr<TXMLObject> s) override {
    EXPECT_EQ(s->Parent(), nullptr);
    EXPECT_EQ(s->Level(), 1);
    stanzas.push_back(s->GetXML());
  }
  bool accept_header = true;
  std::string header, raw;
  std::vector<std::string> stanzas;
};

std::unique_ptr<TXMLObject> ParseOne(std::string_view text) {
  auto all = ParseFragment(text);
  EXPECT_EQ(all.size(), 1u) << text;
  return all.empty() ? nullptr : std::move(all[0]);
}

TEST(ParseXML, StreamHeaderOpensTheRoot) {
  TParseState state;
  ASSERT_TRUE(ParseXML(state, kHeader)) << state.error;
  ASSERT_NE(state.current, nullptr);
  EXPECT_EQ(state.current, state.root.get());
  EXPECT_EQ(state.current->Name, "stream:stream");
  EXPECT_EQ(state.current->Level(), 0);
  EXPECT_EQ(state.current->GetAttribute("xmlns:stream"), "http://etherx.jabber.org/streams");
  EXPECT_EQ(state.current->GetAttribute("id"), "s1");

  ASSERT_TRUE(ParseXML(state, "<iq id='1'/>\n <message><body>hi</body></message>"));
  ASSERT_EQ(state.root->ChildCount(), 2u);
  EXPECT_EQ(state.root->GetChild(0)->Name, "iq");
  EXPECT_EQ(state.root->GetChild(1)->FindChild("body")->Text, "hi");

  ASSERT_TRUE(ParseXML(state, "</stream:stream>"));
  EXPECT_EQ(state.current, nullptr);
  EXPECT_EQ(state.root, nullptr);
}

TEST(ParseXML, ContentRules) {
  // Mixed content keeps only the children.
  auto a = ParseOne("<a>text<b/>more</a>");
  EXPECT_EQ(a->Text, "");
  EXPECT_EQ(a->ChildCount(), 1u);
  // An empty attribute is absent; values keep their entities; quotes of either kind.
  auto item = ParseOne("<item name=\"Tom &amp; Jerry\" group='' x = 'a\"b' y='<>'/>");
  EXPECT_EQ(item->AttributeCount(), 3u);
  EXPECT_EQ(item->GetAttribute("name"), "Tom &amp; Jerry");
  EXPECT_EQ(item->GetAttribute("x"), "a\"b");
  EXPECT_EQ(item->GetAttribute("y"), "<>");
  // Character data is decoded; '>' is allowed in it.
  EXPECT_EQ(ParseOne("<b>a &lt; b &#65;&#x41; c > d</b>")->Text, "a < b AA c > d");
  // Whitespace inside an element's text is kept, between elements it is not.
  auto m = ParseOne("<m>\n  <body>  two  words </body>\n</m>");
  EXPECT_EQ(m->FindChild("body")->Text, "  two  words ");
  EXPECT_EQ(m->Text, "");
  // Tags written over several lines, as some servers do.
  auto t = ParseOne("<t\n  a='1'\tb=\"2\"\n/>");
  EXPECT_EQ(t->GetAttribute("b"), "2");
  // Processing instructions are skipped.
  EXPECT_EQ(ParseOne("<?xml version='1.0'?><p/>")->Name, "p");
}

TEST(ParseXML, XhtmlBodyKeepsItsMarkup) {
  auto msg = ParseOne(
      "<message><body>plain &amp; simple</body>"
      "<html xmlns='http://jabber.org/protocol/xhtml-im'>"
      "<body xmlns='http://www.w3.org/1999/xhtml'><span style='color: red'>Hi &amp; "
      "bye</span></body></html></message>");
  EXPECT_EQ(msg->FindChild("body")->Text, "plain & simple");
  TXMLObject* xbody = msg->FindChild("html")->FindChild("body");
  EXPECT_EQ(xbody->ChildCount(), 0u);
  EXPECT_EQ(xbody->Text, "<span style='color: red'>Hi &amp; bye</span>");

  // Text around and between elements survives as written.
  auto mixed = ParseOne(
      "<html xmlns='http://jabber.org/protocol/xhtml-im'><body "
      "xmlns='http://www.w3.org/1999/xhtml'>Hello <b>you</b> and <i>me</i> &lt;3</body></html>");
  EXPECT_EQ(mixed->FindChild("body")->Text, "Hello <b>you</b> and <i>me</i> &lt;3");

  // Only text: decoded like any body. Outside html, or without the namespaces: no capture.
  auto text_only = ParseOne(
      "<html xmlns='http://jabber.org/protocol/xhtml-im'><body "
      "xmlns='http://www.w3.org/1999/xhtml'>a &amp; b</body></html>");
  EXPECT_EQ(text_only->FindChild("body")->Text, "a & b");
  auto other = ParseOne("<html><body xmlns='http://www.w3.org/1999/xhtml'><p>x</p></body></html>");
  EXPECT_EQ(other->FindChild("body")->ChildCount(), 1u);
}

struct BadCase {
  const char* text;
  const char* error;  // prefix of the expected message
};

TEST(ParseXML, FailuresLeaveNoCurrentElement) {
  const BadCase cases[] = {
      {"< a/>", "invalid xml tag"},
      {"<a></ a>", "invalid xml tag"},
      {"<a><b></a>", "invalid end tag"},
      {"</a>", "invalid end tag"},
      {"<a b='1'", "no xml close tag found \">\""},
      {"<a b='1>", "no xml close tag found \">\""},
      {"<a><b>x", "unexpected end after body tag<a><b>x"},
      {"<a>x</a", "unexpected end after body tag"},
      {"<a>&nbsp;</a>", "Invalid HTML encoded character (&n) at position 0"},
      {"<a>&#65</a>", "Invalid HTML encoded character (&#) at position 0"},
      {"<a b=1/>", "invalid xml tag"},
      {"<a b='1'c='2'/>", "invalid xml tag"},
      {"<a =''/>", "invalid xml tag"},
      {"<a/ >", "invalid xml tag"},
      {"<!-- c --><a/>", "invalid xml tag"},
  };
  // Text that closes the scratch root itself is no fragment.
  for (const char* text : {"<a/></stream:stream>", "<a/></>"}) {
    EXPECT_THROW(ParseFragment(text), EXMLError) << text;
  }
  for (const auto& c : cases) {
    TParseState state;
    state.root = std::make_unique<TXMLObject>();
    state.current = state.root.get();
    EXPECT_FALSE(ParseXML(state, c.text)) << c.text;
    EXPECT_EQ(state.current, nullptr) << c.text;
    EXPECT_TRUE(state.error.starts_with(c.error)) << c.text << " -> " << state.error;
    EXPECT_THROW(ParseFragment(c.text), EXMLError) << c.text;
  }
}

TEST(ParseXML, FailureFreesOnlyTheElementBeingBuilt) {
  TParseState state;
  ASSERT_TRUE(ParseXML(state, kHeader));
  ASSERT_TRUE(ParseXML(state, "<iq/>"));
  ASSERT_FALSE(ParseXML(state, "<message><body>&bad;</body></message>"));
  EXPECT_EQ(state.current, nullptr);
  ASSERT_NE(state.root, nullptr);
  EXPECT_EQ(state.root->GetXML(true), "<iq/><message/>");

  // With no element open, an end tag or character data has nowhere to go.
  for (const char* text : {"</a>", "x<a/>"}) {
    TParseState empty;
    EXPECT_FALSE(ParseXML(empty, text));
    EXPECT_EQ(empty.error, "invalid xml tag");
  }
}

TEST(NormalizeXML, DropsWhitespaceBetweenElements) {
  EXPECT_EQ(NormalizeXML("  <a>\n <b/>\n <c> x y </c>\n</a>\n "), "<a>\n <b/><c> x y </c></a>");
  EXPECT_EQ(NormalizeXML("<?xml v='1'?>\n<s a='x > y'>"), "<?xml v='1'?><s a='x > y'>");
  EXPECT_EQ(NormalizeXML("<a>1 > 0</a>"), "<a>1 > 0</a>");
  for (const char* bad : {"< a>", "</ a>", "<a <b>", "<a"}) {
    EXPECT_THROW(NormalizeXML(bad), EXMLError) << bad;
  }
}

struct CompleteCase {
  const char* text;
  bool awaiting_header;
  bool complete;
};

TEST(StanzaComplete, Cases) {
  const CompleteCase cases[] = {
      {"<?xml version='1.0'?><stream:stream to='x'>", true, true},
      {"<stream:stream to='x'>\n ", true, true},
      {"<?xml version='1.0'?>", true, false},
      {"<stream:stream to='x'><message>", true, false},
      {"<message><body>hi</body></message>", false, true},
      {"<message><body>hi</body></message>\n\t ", false, true},
      {"<message><body>hi</body>", false, false},
      {"<message><body>hi", false, false},
      {"<iq/><iq/>", false, true},
      {"<a b='x>'/>", false, true},
      {"<a b='x/>", false, false},
      {"<a>1 > 0</a>", false, true},
      {"<a b=\"it's\">x</a>", false, true},
      {"   ", false, false},
      {"", false, false},
      {"</stream:stream>", false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StanzaComplete(c.text, c.awaiting_header), c.complete) << c.text;
}

TEST(StreamScanner, CutsAtTheLastCompleteStanza) {
  StreamScanner s;
  ASSERT_TRUE(s.Append(kHeader));
  EXPECT_EQ(s.CompleteText(), kHeader);
  EXPECT_FALSE(s.AwaitingHeader());
  s.ConsumeComplete();
  ASSERT_TRUE(s.Append("\n <iq id='1'/><message><bo"));
  EXPECT_EQ(s.CompleteText(), "\n <iq id='1'/>");
  s.ConsumeComplete();
  EXPECT_EQ(s.Pending(), "<message><bo");
  ASSERT_TRUE(s.Append("dy>a</body></message>  "));
  EXPECT_EQ(s.CompleteText(), "<message><body>a</body></message>");
  s.ConsumeComplete();
  EXPECT_EQ(s.Pending(), "");  // keep-alive whitespace is not kept
}

TEST(StreamReader, EveryCutGivesTheSameStanzas) {
  std::ifstream in(QUILLET_FIXTURES "/streams/sample.xml", std::ios::binary);
  ASSERT_TRUE(in) << QUILLET_FIXTURES;
  std::string stream((std::istreambuf_iterator<char>(in)), {});

  Collector whole;
  StreamReader reader;
  ASSERT_EQ(reader.Feed(stream, whole), StreamReader::Status::Ended) << reader.error();
  ASSERT_EQ(whole.stanzas.size(), 7u);
  EXPECT_EQ(whole.header, "stream:stream id=5e7a1d0c-91b3");

  for (size_t cut = 1; cut < stream.size(); ++cut) {
    Collector parts;
    StreamReader r;
    r.Feed(std::string_view(stream).substr(0, cut), parts);
    ASSERT_EQ(r.Feed(std::string_view(stream).substr(cut), parts), StreamReader::Status::Ended)
        << "cut at " << cut << ": " << r.error();
    ASSERT_EQ(parts.stanzas, whole.stanzas) << "cut at " << cut;
    ASSERT_EQ(parts.header, whole.header);
  }

  Collector bytes;
  StreamReader r;
  for (char c : stream) r.Feed(std::string_view(&c, 1), bytes);
  EXPECT_EQ(r.status(), StreamReader::Status::Ended);
  EXPECT_EQ(bytes.stanzas, whole.stanzas);
}

TEST(StreamReader, HeaderAndStanzasInOneRead) {
  Collector c;
  StreamReader r;
  std::string text(kHeader);
  text += "\n<stream:features><bind/></stream:features><iq id='2'/>";
  EXPECT_EQ(r.Feed(text, c), StreamReader::Status::Open);
  EXPECT_EQ(c.header, "stream:stream id=s1");
  EXPECT_EQ(c.stanzas, (std::vector<std::string>{"<stream:features><bind/></stream:features>",
                                                 "<iq id=\"2\"/>"}));
  EXPECT_EQ(c.raw, text);
}

TEST(StreamReader, TrailingWhitespaceAfterHeaderStaysPending) {
  Collector c;
  StreamReader r;
  EXPECT_EQ(r.Feed(std::string(kHeader) + "\n", c), StreamReader::Status::Open);
  EXPECT_EQ(r.Feed("  <iq/>", c), StreamReader::Status::Open) << r.error();
  EXPECT_EQ(c.stanzas, std::vector<std::string>{"<iq/>"});
}

TEST(StreamReader, StanzasBeforeTheStreamEndSurvive) {
  Collector c;
  StreamReader r;
  r.Feed(kHeader, c);
  EXPECT_EQ(r.Feed("<message id='last'/></stream:stream><ignored/>", c),
            StreamReader::Status::Ended);
  EXPECT_EQ(c.stanzas, std::vector<std::string>{"<message id=\"last\"/>"});
  EXPECT_EQ(r.Feed("<more/>", c), StreamReader::Status::Ended);
  EXPECT_EQ(c.stanzas.size(), 1u);
}

TEST(StreamReader, Failures) {
  {
    Collector c;
    c.accept_header = false;
    StreamReader r;
    EXPECT_EQ(r.Feed(kHeader, c), StreamReader::Status::Failed);
    EXPECT_EQ(c.raw, kHeader);  // the debug view still sees what arrived
  }
  {
    Collector c;
    StreamReader r;
    r.Feed(kHeader, c);
    EXPECT_EQ(r.Feed("<iq><a></b></iq>", c), StreamReader::Status::Failed);
    EXPECT_EQ(r.error(), "invalid end tag");
  }
  {
    Collector c;
    StreamReader r;
    EXPECT_EQ(r.Feed("</stream:stream>", c), StreamReader::Status::Failed);
  }
}

TEST(StreamReader, OversizedStanzaEndsTheStream) {
  Collector c;
  StreamReader r;
  r.Feed(kHeader, c);
  r.Feed("<iq><vCard><PHOTO><BINVAL>", c);
  std::string chunk(1 << 20, 'A');
  StreamReader::Status st = StreamReader::Status::Open;
  for (int i = 0; i < 17 && st == StreamReader::Status::Open; ++i) st = r.Feed(chunk, c);
  EXPECT_EQ(st, StreamReader::Status::Failed);
  EXPECT_EQ(r.error(), "inbound stanza larger than 16 MiB");

  // Just under the limit is fine.
  StreamReader ok;
  ok.Feed(kHeader, c);
  ok.Feed("<iq><v>", c);
  for (int i = 0; i < 15; ++i) ASSERT_EQ(ok.Feed(chunk, c), StreamReader::Status::Open);
  EXPECT_EQ(ok.Feed("</v></iq>", c), StreamReader::Status::Open);
  EXPECT_EQ(c.stanzas.size(), 1u);
}

TEST(StreamReader, RestartAwaitsANewHeader) {
  Collector c;
  StreamReader r;
  r.Feed(kHeader, c);
  r.Feed("<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/><partial", c);
  r.Restart();
  EXPECT_EQ(r.root(), nullptr);
  EXPECT_EQ(r.Feed("<stream:stream id='s2'><iq/>", c), StreamReader::Status::Open);
  EXPECT_EQ(c.header, "stream:stream id=s2");
  EXPECT_EQ(c.stanzas.back(), "<iq/>");
}

}  // namespace
}  // namespace quillet::xml
