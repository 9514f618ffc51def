#include "xml/xmlobject.h"

#include <gtest/gtest.h>

#include "xml/parser.h"

namespace quillet::xml {
namespace {

TEST(XMLObject, SerialisesExactlyAsStored) {
  TXMLObject iq("iq");
  iq.SetAttribute("type", "get");
  iq.SetAttribute("id", "a1");
  EXPECT_EQ(iq.GetXML(), "<iq type=\"get\" id=\"a1\"/>");

  TXMLObject presence("presence");
  presence.Text = "t&";  // not escaped: builders escape before they store
  presence.AddChild("show")->Text = "away";
  presence.AddChild("status")->Text = "out";
  EXPECT_EQ(presence.GetXML(), "<presence>t&<show>away</show><status>out</status></presence>");
  EXPECT_EQ(presence.GetXML(true), "<show>away</show><status>out</status>");
}

TEST(XMLObject, Attributes) {
  TXMLObject e("query");
  e.SetAttribute("xmlns", "jabber:iq:roster");
  e.SetAttribute("ver", "a=b=c");
  EXPECT_EQ(e.GetAttribute("XMLNS"), "jabber:iq:roster");
  EXPECT_EQ(e.GetAttribute("ver"), "a=b=c");
  EXPECT_EQ(e.GetAttribute("missing"), "");

  e.SetAttribute("XmlNs", "other");  // replaces in place, keeps the stored name
  ASSERT_EQ(e.AttributeCount(), 2u);
  EXPECT_EQ(e.AttributeName(0), "xmlns");
  EXPECT_EQ(e.AttributeValue(0), "other");

  e.SetAttribute("xmlns", "");
  EXPECT_EQ(e.AttributeCount(), 1u);
  EXPECT_EQ(e.GetAttribute("xmlns"), "");
  e.AddAttribute("empty", "");
  EXPECT_EQ(e.AttributeCount(), 1u);
}

TEST(XMLObject, ChildrenAndLevels) {
  TXMLObject root("r");
  TXMLObject* a = root.AddChild("x");
  TXMLObject* b = root.AddChild("x");
  TXMLObject* deep = b->AddChild("y");
  EXPECT_EQ(root.Level(), 0);
  EXPECT_EQ(deep->Level(), 2);
  EXPECT_EQ(deep->Parent(), b);
  EXPECT_EQ(root.FindChild("x"), a);
  EXPECT_EQ(root.FindChild("y"), nullptr);
  EXPECT_EQ(root.GetChild(-1), nullptr);
  EXPECT_EQ(root.GetChild(2), nullptr);
  EXPECT_EQ(root.GetChild(1), b);

  std::unique_ptr<TXMLObject> taken = b->Detach();
  EXPECT_EQ(taken.get(), b);
  EXPECT_EQ(b->Parent(), nullptr);
  EXPECT_EQ(b->Level(), 1);  // the level is fixed at creation
  EXPECT_EQ(root.ChildCount(), 1u);

  root.DeleteChild(a);
  EXPECT_EQ(root.ChildCount(), 0u);
  EXPECT_THROW(root.DeleteChild(deep), EXMLError);
}

TEST(XMLObject, ReleasedChildrenOutliveTheirParent) {
  auto parent = std::make_unique<TXMLObject>("p");
  parent->AddChild("a")->AddChild("b");
  parent->AddChild("c");
  auto children = parent->ReleaseChildren();
  parent.reset();
  ASSERT_EQ(children.size(), 2u);
  for (const auto& c : children) EXPECT_EQ(c->Parent(), nullptr);
  EXPECT_EQ(children[0]->GetXML(), "<a><b/></a>");
}

TEST(XMLObject, CloneOfParsedStanzaSerialisesIdentically) {
  auto parsed = ParseFragment(
      "<message to='a@b' type='chat'><body>x &amp; y</body><x xmlns='j:x'><i n='1'/></x>"
      "</message>");
  ASSERT_EQ(parsed.size(), 1u);
  auto copy = parsed[0]->Clone();
  EXPECT_EQ(copy->GetXML(), parsed[0]->GetXML());
  TXMLObject holder("h");
  TXMLObject* inner = parsed[0]->CloneInto(holder);
  EXPECT_EQ(inner->Parent(), &holder);
  EXPECT_EQ(inner->GetChild(1)->GetChild(0)->Level(), 3);
}

TEST(EscapeXML, FiveEntitiesOtherBytesUntouched) {
  EXPECT_EQ(EscapeXML("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(EscapeXML("\xC3\xA9t\xC3\xA9 \x80\xFF"), "\xC3\xA9t\xC3\xA9 \x80\xFF");
  EXPECT_EQ(UnescapeXML(EscapeXML("<&'\">")), "<&'\">");
}

struct UnescapeCase {
  const char* in;
  const char* out;
};

TEST(UnescapeXML, Decodes) {
  const UnescapeCase cases[] = {
      {"a &lt; b", "a < b"},
      {"&amp;&gt;&quot;&apos;", "&>\"'"},
      {"&#65;&#x41;&#X41;&#0x41;&#$41;", "AAAAA"},
      {"&#233;", "\xC3\xA9"},             // é as UTF-8, not its low byte
      {"&#x2603;", "\xE2\x98\x83"},       // snowman
      {"&#x1F600;", "\xF0\x9F\x98\x80"},  // outside the basic plane
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(UnescapeXML(c.in), c.out) << c.in;
}

TEST(UnescapeXML, RejectsUnknownAndBrokenReferences) {
  const char* bad[] = {"x &nbsp; y",     "&a",     "&",    "&#65",     "&#;",
                       "&#x;",           "&#12a;", "&#0;", "&#xD800;", "&#x110000;",
                       "&#99999999999;", "&am;"};
  for (const char* in : bad) EXPECT_THROW(UnescapeXML(in), EConvertError) << in;
  try {
    UnescapeXML("ab&nbsp;");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid HTML encoded character (&n) at position 2");
  }
}

}  // namespace
}  // namespace quillet::xml
