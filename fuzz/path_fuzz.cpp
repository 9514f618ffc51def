// A path (first line) compiled and matched against an element tree (the rest): through
// FindXML and through a registry dispatch whose handler changes the registry.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "xml/parser.h"
#include "xml/registry.h"

namespace {

using namespace quillet::xml;

struct Handler {
  void OnMatch(TXMLObject& e) {
    ++calls;
    if (e.Name != last_segment) {
      std::fprintf(stderr, "handler got <%s>, path ends in <%s>\n", e.Name.c_str(),
                   last_segment.c_str());
      std::abort();
    }
    registry->RegisterXML(path, TXMLHandler::Of<&Handler::OnMatch>(this));
    registry->UnregisterXML(path, TXMLHandler::Of<&Handler::OnMatch>(this));
  }
  TXMLRegistry* registry = nullptr;
  std::string path, last_segment;
  int calls = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nl = input.find('\n');
  if (nl == std::string::npos) return 0;
  std::string path = input.substr(0, nl);

  std::unique_ptr<TXMLPath> compiled;
  try {
    compiled = std::make_unique<TXMLPath>(path);
  } catch (const EXMLError&) {
    return 0;
  }
  (void)compiled->PatternXML();

  TXMLObject root;
  try {
    for (auto& e : ParseFragment(std::string_view(input).substr(nl + 1))) {
      e->CloneInto(root);
    }
  } catch (const EXMLError&) {
    return 0;
  }

  TXMLObject* found = FindXML(&root, *compiled);
  if (found && found->Name != compiled->segments().back().name) std::abort();

  TXMLRegistry registry;
  Handler h;
  h.registry = &registry;
  h.path = path;
  if (!compiled->segments().empty()) h.last_segment = std::string(compiled->segments().back().name);
  registry.RegisterXML(path, TXMLHandler::Of<&Handler::OnMatch>(&h));
  for (const auto& child : root.Children()) {
    try {
      registry.DispatchXML(*child);
    } catch (const EXMLError&) {
    }
  }
  // A match below the root is also found by the dispatch of the child that holds it.
  if (found && h.calls == 0) std::abort();
  return 0;
}
