// Entity decoding never reads past the text, and what it decodes escapes back to itself.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "xml/xmlobject.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  try {
    decoded = quillet::xml::UnescapeXML(text);
  } catch (const quillet::xml::EConvertError&) {
    return 0;
  }
  if (quillet::xml::UnescapeXML(quillet::xml::EscapeXML(decoded)) != decoded) {
    std::fprintf(stderr, "escape does not round-trip\n");
    std::abort();
  }
  return 0;
}
