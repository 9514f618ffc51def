#include "xml/registry.h"

#include <cstdio>
#include <exception>

namespace quillet::xml {

std::string TXMLHandler::IdentityText() const {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X",
                unsigned(reinterpret_cast<std::uintptr_t>(function_) & 0xFFFFFFFFu));
  return buf;
}

// ---- TXMLPath ----

TXMLPath::TXMLPath(std::string_view path) : text_(path) {
  std::string_view p = text_;
  rooted_ = p.starts_with('/');
  if (rooted_) p.remove_prefix(1);
  while (!p.empty()) {
    // Segments end at a '/' outside quotes; either quote character toggles one state.
    size_t end = 0;
    bool quoted = false;
    while (end < p.size() && (quoted || p[end] != '/')) {
      if (p[end] == '"' || p[end] == '\'') quoted = !quoted;
      ++end;
    }
    std::string_view seg = p.substr(0, end);
    p.remove_prefix(end == p.size() ? end : end + 1);

    Segment& s = segments_.emplace_back();
    size_t open = seg.find("[@");
    s.name = seg.substr(0, open);
    while (open != std::string_view::npos) {
      size_t close = seg.find(']', open + 2);
      if (close == std::string_view::npos) {
        std::string shown = text_;
        if (!shown.ends_with('/')) shown += '/';
        throw EXMLError("invalid path" + shown);
      }
      std::string_view cond = seg.substr(open + 2, close - open - 2);
      size_t eq = cond.find('=');
      std::string_view value =
          eq == std::string_view::npos ? std::string_view() : cond.substr(eq + 1);
      // The value is what stands between its quotes; an empty one is no condition.
      value = value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string_view();
      if (!value.empty()) s.conditions.push_back({cond.substr(0, eq), value});
      open = seg.find("[@", close + 1);
    }
  }
}

std::string TXMLPath::PatternXML(size_t from) const {
  std::string out;
  for (size_t i = from; i < segments_.size(); ++i) {
    out += '<';
    out += segments_[i].name;
    for (const auto& c : segments_[i].conditions) {
      out += ' ';
      out += c.name;
      out += "=\"";
      out += c.value;
      out += '"';
    }
    out += i + 1 < segments_.size() ? ">" : "/>";
  }
  for (size_t i = segments_.size(); i-- > from + 1;) {
    out += "</";
    out += segments_[i - 1].name;
    out += '>';
  }
  return out;
}

// ---- matching ----

namespace {

bool ConditionsHold(const TXMLObject& e, const TXMLPath::Segment& s) {
  for (const auto& c : s.conditions) {
    if (e.GetAttribute(c.name) != c.value) return false;
  }
  return true;
}

// The last leaf match below `e` (which already has segment k's name), searching backwards
// so the first hit is the last in document order.
TXMLObject* FindLast(const TXMLObject& e, const TXMLPath& path, size_t k) {
  const auto& segs = path.segments();
  if (!ConditionsHold(e, segs[k])) return nullptr;
  if (k + 1 == segs.size()) return const_cast<TXMLObject*>(&e);
  auto children = e.Children();
  for (size_t i = children.size(); i-- > 0;) {
    if (children[i]->Name != segs[k + 1].name) continue;
    if (TXMLObject* hit = FindLast(*children[i], path, k + 1)) return hit;
  }
  return nullptr;
}

void Match(TXMLObject& e, const TXMLPath& path, size_t k, const TXMLHandler& handler) {
  const auto& segs = path.segments();
  if (!ConditionsHold(e, segs[k])) return;
  if (k + 1 < segs.size()) {
    // By index: a handler may change the stanza while we walk it.
    for (size_t i = 0; i < e.ChildCount(); ++i) {
      TXMLObject* child = e.GetChild(std::ptrdiff_t(i));
      if (child->Name == segs[k + 1].name) Match(*child, path, k + 1, handler);
    }
    return;
  }
  try {
    handler(e);
  } catch (...) {
    throw EXMLCallbackError("error calling registered function for:" + path.PatternXML(k));
  }
}

}  // namespace

TXMLObject* FindXML(const TXMLObject* element, const TXMLPath& path) {
  if (!element || path.segments().empty()) return nullptr;
  auto children = element->Children();
  for (size_t i = children.size(); i-- > 0;) {
    if (children[i]->Name != path.segments()[0].name) continue;
    if (TXMLObject* hit = FindLast(*children[i], path, 0)) return hit;
  }
  return nullptr;
}

TXMLObject* FindXML(const TXMLObject* element, std::string_view path) {
  if (!element) return nullptr;
  return FindXML(element, TXMLPath(path));
}

// ---- TXMLRegistry ----

struct TXMLRegistry::Registration {
  Registration(std::string_view p, TXMLHandler h) : path(p), handler(h) {}
  TXMLPath path;
  TXMLHandler handler;
};

struct TXMLRegistry::Change {
  enum Kind { kAdd, kRemove, kClear } kind;
  std::string path;
  TXMLHandler handler;
};

TXMLRegistry::TXMLRegistry() = default;
TXMLRegistry::~TXMLRegistry() = default;

void TXMLRegistry::RegisterXML(std::string_view path, TXMLHandler handler) {
  if (path.empty() || !handler) return;
  if (deferred_) {
    deferred_->push_back({Change::kAdd, std::string(path), handler});
    return;
  }
  Add(path, handler);
}

void TXMLRegistry::UnregisterXML(std::string_view path, TXMLHandler handler) {
  if (deferred_) {
    deferred_->push_back({Change::kRemove, std::string(path), handler});
    return;
  }
  Remove(path, handler);
}

void TXMLRegistry::ClearRegistrations() {
  // The running dispatch still walks the registrations; free them when it is done.
  if (deferred_) {
    deferred_->push_back({Change::kClear, {}, {}});
    return;
  }
  registrations_.clear();
}

void TXMLRegistry::Add(std::string_view path, TXMLHandler handler) {
  registrations_.push_back(std::make_unique<Registration>(path, handler));
}

void TXMLRegistry::Remove(std::string_view path, TXMLHandler handler) {
  size_t before = registrations_.size();
  std::erase_if(registrations_, [&](const auto& r) {
    return r->path.text() == path && r->handler.SameMethod(handler);
  });
  if (registrations_.size() == before) {
    throw EXMLError("unregisterxml : not found \"" + std::string(path) + "\" @" +
                    handler.IdentityText());
  }
}

void TXMLRegistry::DispatchXML(TXMLObject& stanza) {
  if (deferred_) throw EXMLError("do not use \"application.processmessages\" in callback!");
  deferred_ = std::make_unique<std::vector<Change>>();

  std::exception_ptr failure;
  const size_t count = registrations_.size();
  for (size_t i = 0; i < count; ++i) {
    const Registration& r = *registrations_[i];
    const auto& segs = r.path.segments();
    if (segs.empty() || segs[0].name != stanza.Name) continue;
    try {
      Match(stanza, r.path, 0, r.handler);
    } catch (const EXMLCallbackError& e) {
      // A failing handler ends this stanza's dispatch; the engine carries on.
      if (OnCallbackError) OnCallbackError(e.what());
      break;
    } catch (const std::exception&) {
      failure = std::make_exception_ptr(
          EXMLError("comparenode error" + r.path.PatternXML() + " with " + stanza.GetXML()));
      break;
    }
  }

  std::vector<Change> changes = std::move(*deferred_);
  deferred_.reset();
  for (const Change& c : changes) {
    try {
      switch (c.kind) {
        case Change::kAdd:
          Add(c.path, c.handler);
          break;
        case Change::kRemove:
          Remove(c.path, c.handler);
          break;
        case Change::kClear:
          registrations_.clear();
          break;
      }
    } catch (const EXMLError&) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillet::xml
