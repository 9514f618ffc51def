#include "xml/xmlobject.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quillet::xml {

namespace {

const std::string kEmpty;

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

TXMLObject* TXMLObject::AddChild(std::string name) {
  auto child = std::make_unique<TXMLObject>(std::move(name));
  child->parent_ = this;
  child->level_ = level_ + 1;
  children_.push_back(std::move(child));
  return children_.back().get();
}

TXMLObject* TXMLObject::GetChild(std::ptrdiff_t index) const {
  if (index < 0 || size_t(index) >= children_.size()) return nullptr;
  return children_[size_t(index)].get();
}

TXMLObject* TXMLObject::FindChild(std::string_view name) const {
  for (const auto& c : children_) {
    if (c->Name == name) return c.get();
  }
  return nullptr;
}

void TXMLObject::DeleteChild(TXMLObject* child) {
  auto it = std::find_if(children_.begin(), children_.end(),
                         [child](const auto& c) { return c.get() == child; });
  if (it == children_.end()) throw EXMLError("parent node index not found");
  children_.erase(it);
}

std::unique_ptr<TXMLObject> TXMLObject::Detach() {
  if (!parent_) return nullptr;
  auto& list = parent_->children_;
  auto it =
      std::find_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; });
  if (it == list.end()) throw EXMLError("parent node index not found");
  std::unique_ptr<TXMLObject> self = std::move(*it);
  list.erase(it);
  parent_ = nullptr;
  return self;
}

std::vector<std::unique_ptr<TXMLObject>> TXMLObject::ReleaseChildren() {
  for (auto& c : children_) c->parent_ = nullptr;
  return std::exchange(children_, {});
}

const std::string& TXMLObject::GetAttribute(std::string_view name) const {
  for (const auto& a : attributes_) {
    if (EqualsIgnoreCase(a.first, name)) return a.second;
  }
  return kEmpty;
}

void TXMLObject::SetAttribute(std::string_view name, std::string_view value) {
  auto it = std::find_if(attributes_.begin(), attributes_.end(),
                         [name](const Attribute& a) { return EqualsIgnoreCase(a.first, name); });
  if (value.empty()) {
    if (it != attributes_.end()) attributes_.erase(it);
  } else if (it != attributes_.end()) {
    it->second.assign(value);
  } else {
    attributes_.emplace_back(std::string(name), std::string(value));
  }
}

void TXMLObject::AddAttribute(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  attributes_.emplace_back(std::string(name), std::string(value));
}

std::string TXMLObject::GetXML(bool children_only) const {
  std::string out;
  AppendXML(out, children_only);
  return out;
}

void TXMLObject::AppendXML(std::string& out, bool children_only) const {
  if (!children_only) {
    out += '<';
    out += Name;
    for (const auto& [name, value] : attributes_) {
      out += ' ';
      out += name;
      out += "=\"";
      out += value;
      out += '"';
    }
    if (children_.empty() && Text.empty()) {
      out += "/>";
      return;
    }
    out += '>';
    out += Text;
  }
  for (const auto& c : children_) c->AppendXML(out, false);
  if (!children_only) {
    out += "</";
    out += Name;
    out += '>';
  }
}

void TXMLObject::CopyInto(TXMLObject& copy) const {
  copy.Name = Name;
  copy.attributes_ = attributes_;
  copy.Text = Text;
  for (const auto& c : children_) c->CloneInto(copy);
}

std::unique_ptr<TXMLObject> TXMLObject::Clone() const {
  auto copy = std::make_unique<TXMLObject>();
  CopyInto(*copy);
  return copy;
}

TXMLObject* TXMLObject::CloneInto(TXMLObject& new_parent) const {
  TXMLObject* copy = new_parent.AddChild();
  CopyInto(*copy);
  return copy;
}

void AppendEscapedXML(std::string& out, std::string_view text) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&apos;";
        break;
      default:
        continue;
    }
    out.append(text, start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(text, start);
}

std::string EscapeXML(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  AppendEscapedXML(out, text);
  return out;
}

namespace {

[[noreturn]] void BadEntity(std::string_view text, size_t pos) {
  std::string shown(1, '&');
  if (pos + 1 < text.size()) shown += text[pos + 1];
  char buf[64];
  std::snprintf(buf, sizeof buf, ") at position %zu", pos);
  throw EConvertError("Invalid HTML encoded character (" + shown + buf);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Reads a numeric character reference starting at the '&' at `amp`; returns the position
// after its ';'.
size_t DecodeNumeric(std::string& out, std::string_view text, size_t amp) {
  size_t i = amp + 2;  // after "&#"
  int base = 10;
  if (i < text.size() && (text[i] == 'x' || text[i] == 'X' || text[i] == '$')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  uint32_t cp = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] != ';'; ++i, ++digits) {
    char c = text[i];
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = uint32_t(c - '0');
    } else if (base == 16 && LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f') {
      d = uint32_t(LowerAscii(c) - 'a' + 10);
    } else {
      BadEntity(text, amp);
    }
    cp = cp * uint32_t(base) + d;
    if (cp > 0x10FFFF) BadEntity(text, amp);
  }
  // A reference must end in ';' and name a character XML allows.
  if (i >= text.size() || digits == 0 || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) ||
      cp == 0xFFFE || cp == 0xFFFF) {
    BadEntity(text, amp);
  }
  AppendUtf8(out, cp);
  return i + 1;
}

}  // namespace

void AppendUnescapedXML(std::string& out, std::string_view text) {
  size_t start = 0;
  for (;;) {
    size_t amp = text.find('&', start);
    if (amp == std::string_view::npos) break;
    out.append(text, start, amp - start);
    std::string_view rest = text.substr(amp);
    if (rest.starts_with("&amp;")) {
      out += '&';
      start = amp + 5;
    } else if (rest.starts_with("&lt;")) {
      out += '<';
      start = amp + 4;
    } else if (rest.starts_with("&gt;")) {
      out += '>';
      start = amp + 4;
    } else if (rest.starts_with("&quot;")) {
      out += '"';
      start = amp + 6;
    } else if (rest.starts_with("&apos;")) {
      out += '\'';
      start = amp + 6;
    } else if (rest.starts_with("&#")) {
      start = DecodeNumeric(out, text, amp);
    } else {
      BadEntity(text, amp);
    }
  }
  out.append(text, start);
}

std::string UnescapeXML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUnescapedXML(out, text);
  return out;
}

}  // namespace quillet::xml
