// Minimal JSON writing for quillet-cli's one-object-per-line output.
#pragma once

#include <string>
#include <string_view>

#include "xml/xmlobject.h"

namespace quillet::cli {

// Appends `text` as a JSON string. Invalid UTF-8 bytes become U+FFFD.
void AppendJsonString(std::string& out, std::string_view text);

// {"name":…,"attributes":{…},"text":…,"children":[…]}; attribute values as received.
void AppendElementJson(std::string& out, const xml::TXMLObject& element);
// The same members without the braces; without content only name and attributes.
void AppendElementFields(std::string& out, const xml::TXMLObject& element, bool content);

}  // namespace quillet::cli
