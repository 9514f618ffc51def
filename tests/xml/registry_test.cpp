#include "xml/registry.h"

#include <gtest/gtest.h>

#include "xml/parser.h"

namespace quillet::xml {
namespace {

std::unique_ptr<TXMLObject> Stanza(std::string_view text) {
  auto all = ParseFragment(text);
  return std::move(all.at(0));
}

// A component with handler methods; `log` records the calls in order.
struct Component {
  explicit Component(TXMLRegistry& r, std::string n = "c") : registry(r), name(std::move(n)) {}

  void OnRoster(TXMLObject& e) {
    log.push_back(name + ":roster:" + e.Parent()->GetAttribute("type"));
    e.Parent()->SetAttribute("type", "result");
  }
  void OnAny(TXMLObject& e) { log.push_back(name + ":" + e.Name + e.GetAttribute("n")); }
  void OnOther(TXMLObject& e) { log.push_back(name + ":other:" + e.Name); }
  void OnceOnly(TXMLObject& e) {
    log.push_back(name + ":once:" + e.Name);
    registry.UnregisterXML("/message/", TXMLHandler::Of<&Component::OnceOnly>(this));
  }
  void AddsAnother(TXMLObject& e) {
    log.push_back(name + ":adds:" + e.Name);
    registry.RegisterXML("/message/", TXMLHandler::Of<&Component::OnOther>(this));
  }
  void Fails(TXMLObject&) {
    log.push_back(name + ":fails");
    throw std::runtime_error("boom");
  }
  void Nested(TXMLObject& e) { registry.DispatchXML(e); }
  void Clears(TXMLObject& e) {
    log.push_back(name + ":clears:" + e.Name);
    registry.ClearRegistrations();
  }

  TXMLRegistry& registry;
  std::string name;
  std::vector<std::string> log;
};

using V = std::vector<std::string>;

TEST(TXMLRegistry, HandlerChangingTheStanzaStopsLaterMatches) {
  TXMLRegistry r;
  Component c(r);
  r.RegisterXML("/iq/query[@xmlns=\"jabber:iq:roster\"]",
                TXMLHandler::Of<&Component::OnRoster>(&c));
  r.RegisterXML("/iq[@type=\"set\"]/query[@xmlns=\"jabber:iq:roster\"]",
                TXMLHandler::Of<&Component::OnRoster>(&c));
  auto push = Stanza("<iq type='set'><query xmlns='jabber:iq:roster'><item/></query></iq>");
  r.DispatchXML(*push);
  EXPECT_EQ(c.log, V{"c:roster:set"});
  EXPECT_EQ(push->GetAttribute("type"), "result");
}

TEST(TXMLRegistry, LeafMatchesInDocumentOrderAndPathForms) {
  TXMLRegistry r;
  Component c(r);
  r.RegisterXML("/presence/", TXMLHandler::Of<&Component::OnAny>(&c));
  r.RegisterXML("presence/x[@xmlns='a/b']/i", TXMLHandler::Of<&Component::OnAny>(&c));
  r.RegisterXML("presence", TXMLHandler::Of<&Component::OnAny>(&c));
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnOther>(&c));
  auto p = Stanza(
      "<presence><x xmlns='a/b'><i n='1'/><i n='2'/></x><x xmlns='c'><i n='no'/></x>"
      "<x xmlns='a/b'><i n='3'/></x></presence>");
  r.DispatchXML(*p);
  EXPECT_EQ(c.log, (V{"c:presence", "c:i1", "c:i2", "c:i3", "c:presence"}));
}

TEST(TXMLRegistry, ChangesDuringDispatchWaitUntilItEnds) {
  TXMLRegistry r;
  Component c(r);
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnceOnly>(&c));
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::AddsAnother>(&c));
  auto m = Stanza("<message/>");
  r.DispatchXML(*m);
  EXPECT_EQ(c.log, (V{"c:once:message", "c:adds:message"}));
  c.log.clear();
  r.DispatchXML(*m);  // OnceOnly is gone, OnOther has joined
  EXPECT_EQ(c.log, (V{"c:adds:message", "c:other:message"}));
}

TEST(TXMLRegistry, UnregisterComparesTheMethodNotTheObject) {
  TXMLRegistry r;
  Component a(r, "a"), b(r, "b");
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnAny>(&a));
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnAny>(&a));
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnAny>(&b));
  r.RegisterXML("/message/", TXMLHandler::Of<&Component::OnOther>(&b));
  r.RegisterXML("message", TXMLHandler::Of<&Component::OnAny>(&b));  // other path text
  r.UnregisterXML("/message/", TXMLHandler::Of<&Component::OnAny>(&a));
  EXPECT_EQ(r.size(), 2u);
  auto m = Stanza("<message/>");
  r.DispatchXML(*m);
  EXPECT_TRUE(a.log.empty());
  EXPECT_EQ(b.log, (V{"b:other:message", "b:message"}));
}

TEST(TXMLRegistry, Errors) {
  TXMLRegistry r;
  Component c(r);
  auto h = TXMLHandler::Of<&Component::OnAny>(&c);
  try {
    r.UnregisterXML("/nothing/", h);
    FAIL();
  } catch (const EXMLError& e) {
    EXPECT_EQ(e.what(), "unregisterxml : not found \"/nothing/\" @" + h.IdentityText());
    EXPECT_EQ(h.IdentityText().size(), 8u);
    EXPECT_EQ(h.IdentityText().find_first_not_of("0123456789ABCDEF"), std::string::npos);
  }
  try {
    r.RegisterXML("/iq[@type=\"get\"/", h);
    FAIL();
  } catch (const EXMLError& e) {
    EXPECT_STREQ(e.what(), "invalid path/iq[@type=\"get\"/");
  }
  r.RegisterXML("", h);                  // ignored
  r.RegisterXML("/iq/", TXMLHandler());  // ignored
  EXPECT_EQ(r.size(), 0u);
}

TEST(TXMLRegistry, FailingHandlerEndsThatStanzasDispatchOnly) {
  TXMLRegistry r;
  Component c(r);
  std::string reported;
  r.OnCallbackError = [&](const std::string& why) { reported = why; };
  r.RegisterXML("/iq/query[@xmlns=\"x\"]", TXMLHandler::Of<&Component::Fails>(&c));
  r.RegisterXML("/iq/", TXMLHandler::Of<&Component::OnAny>(&c));
  auto iq = Stanza("<iq><query xmlns='x'/></iq>");
  EXPECT_NO_THROW(r.DispatchXML(*iq));
  EXPECT_EQ(c.log, V{"c:fails"});
  EXPECT_EQ(reported, "error calling registered function for:<query xmlns=\"x\"/>");
  EXPECT_FALSE(r.Dispatching());
  auto other = Stanza("<iq/>");
  r.DispatchXML(*other);
  EXPECT_EQ(c.log.back(), "c:iq");
}

TEST(TXMLRegistry, NestedDispatchIsRefused) {
  TXMLRegistry r;
  Component c(r);
  std::string reported;
  r.OnCallbackError = [&](const std::string& why) { reported = why; };
  r.RegisterXML("/iq/", TXMLHandler::Of<&Component::Nested>(&c));
  auto iq = Stanza("<iq/>");
  r.DispatchXML(*iq);
  EXPECT_EQ(reported, "error calling registered function for:<iq/>");
}

TEST(TXMLRegistry, ClearingInsideAHandlerIsSafe) {
  TXMLRegistry r;
  Component c(r);
  r.RegisterXML("/iq/", TXMLHandler::Of<&Component::Clears>(&c));
  r.RegisterXML("/iq/", TXMLHandler::Of<&Component::OnAny>(&c));
  auto iq = Stanza("<iq/>");
  r.DispatchXML(*iq);
  EXPECT_EQ(c.log, (V{"c:clears:iq", "c:iq"}));
  EXPECT_EQ(r.size(), 0u);
}

TEST(FindXML, SearchesBelowTheElement) {
  auto iq = Stanza(
      "<iq type='result'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>a@b/r</jid></bind>"
      "</iq>");
  TXMLObject* jid = FindXML(iq.get(), "/bind/jid");
  ASSERT_NE(jid, nullptr);
  EXPECT_EQ(jid->Text, "a@b/r");
  EXPECT_EQ(FindXML(iq.get(), "bind[@xmlns=\"urn:ietf:params:xml:ns:xmpp-bind\"]"), jid->Parent());
  EXPECT_EQ(FindXML(iq.get(), "bind[@xmlns=\"other\"]"), nullptr);
  EXPECT_EQ(FindXML(iq.get(), "/iq/bind"), nullptr);  // the first segment names a child
  EXPECT_EQ(FindXML(nullptr, "/bind"), nullptr);

  auto q = Stanza("<q><i n='1'><v n='a'/></i><i n='2'><v n='b'/><v n='c'/></i><i n='3'/></q>");
  EXPECT_EQ(FindXML(q.get(), "i/v")->GetAttribute("n"), "c");  // the last in document order
  EXPECT_EQ(FindXML(q.get(), "i")->GetAttribute("n"), "3");
  EXPECT_EQ(FindXML(q.get(), "i[@n='1']/v")->GetAttribute("n"), "a");
}

}  // namespace
}  // namespace quillet::xml
