// The one in-memory form of XML: an element with a name, ordered attributes, text and
// owned children. No namespace model: `xmlns` is an ordinary attribute and a prefixed
// name such as `stream:features` is simply the element's name.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::xml {

class EXMLError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a registered handler fails; ends the dispatch of that stanza.
class EXMLCallbackError : public EXMLError {
 public:
  using EXMLError::EXMLError;
};

// Raised by UnescapeXML for an entity it does not know.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TXMLObject {
 public:
  using Attribute = std::pair<std::string, std::string>;

  TXMLObject() = default;
  explicit TXMLObject(std::string name) : Name(std::move(name)) {}
  ~TXMLObject() = default;
  TXMLObject(const TXMLObject&) = delete;
  TXMLObject& operator=(const TXMLObject&) = delete;

  std::string Name;
  // Character data, entities decoded when it came from the parser. An element that has
  // children keeps no text (except a captured XHTML body, see the parser).
  std::string Text;
  // Free for the owner's use; the debug view stores the direction of a logged stanza here.
  int32_t Tag = 0;

  TXMLObject* Parent() const { return parent_; }
  // Depth fixed at creation: 0 for a root, parent's level + 1 otherwise. Not recomputed on
  // detach; the stream root is the only long-lived node at level 0.
  int32_t Level() const { return level_; }

  // Creates a child at the end of the child list; the parent owns it.
  TXMLObject* AddChild(std::string name = {});
  size_t ChildCount() const { return children_.size(); }
  // None when the index is out of range.
  TXMLObject* GetChild(std::ptrdiff_t index) const;
  // First child whose name equals `name` exactly.
  TXMLObject* FindChild(std::string_view name) const;
  std::span<const std::unique_ptr<TXMLObject>> Children() const { return children_; }
  // Frees one child and removes it from the list.
  void DeleteChild(TXMLObject* child);
  void DeleteChildren() { children_.clear(); }
  // Takes this node out of its parent's list; the caller owns it. Level is kept.
  std::unique_ptr<TXMLObject> Detach();
  // Hands every child over to the caller, each with no parent.
  std::vector<std::unique_ptr<TXMLObject>> ReleaseChildren();

  size_t AttributeCount() const { return attributes_.size(); }
  const std::string& AttributeName(size_t index) const { return attributes_.at(index).first; }
  const std::string& AttributeValue(size_t index) const { return attributes_.at(index).second; }
  std::span<const Attribute> Attributes() const { return attributes_; }
  // Value of the first attribute with that name, compared without regard to ASCII case;
  // empty when absent.
  const std::string& GetAttribute(std::string_view name) const;
  // Replaces the first attribute of that name or appends one; an empty value removes it,
  // so no attribute ever has an empty value.
  void SetAttribute(std::string_view name, std::string_view value);
  // Appends without looking for an existing one (the parser's fast path). Empty values are
  // dropped as SetAttribute would.
  void AddAttribute(std::string_view name, std::string_view value);

  // Serialises exactly as stored: nothing is escaped. With children_only set, only the
  // children are written.
  std::string GetXML(bool children_only = false) const;
  void AppendXML(std::string& out, bool children_only = false) const;

  std::unique_ptr<TXMLObject> Clone() const;
  TXMLObject* CloneInto(TXMLObject& new_parent) const;

 private:
  void CopyInto(TXMLObject& copy) const;

  TXMLObject* parent_ = nullptr;
  int32_t level_ = 0;
  std::vector<Attribute> attributes_;
  std::vector<std::unique_ptr<TXMLObject>> children_;
};

// The five XML entities.
std::string EscapeXML(std::string_view text);
void AppendEscapedXML(std::string& out, std::string_view text);
// Decodes the five named entities and numeric character references (to UTF-8).
std::string UnescapeXML(std::string_view text);
void AppendUnescapedXML(std::string& out, std::string_view text);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace quillet::xml
