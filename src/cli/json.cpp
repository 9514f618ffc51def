#include "cli/json.h"

#include <cstdio>

namespace quillet::cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return len;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
      ++i;
    } else if (c < 0x20) {
      switch (c) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default: {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        }
      }
      ++i;
    } else if (size_t len = Utf8Length(text, i)) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out += '"';
}

void AppendElementJson(std::string& out, const xml::TXMLObject& e) {
  out += '{';
  AppendElementFields(out, e, true);
  out += '}';
}

void AppendElementFields(std::string& out, const xml::TXMLObject& e, bool content) {
  out += "\"name\":";
  AppendJsonString(out, e.Name);
  out += ",\"attributes\":{";
  bool first = true;
  for (const auto& [name, value] : e.Attributes()) {
    if (!first) out += ',';
    first = false;
    AppendJsonString(out, name);
    out += ':';
    AppendJsonString(out, value);
  }
  out += '}';
  if (!content) return;
  out += ",\"text\":";
  AppendJsonString(out, e.Text);
  out += ",\"children\":[";
  first = true;
  for (const auto& c : e.Children()) {
    if (!first) out += ',';
    first = false;
    AppendElementJson(out, *c);
  }
  out += ']';
}

}  // namespace quillet::cli
