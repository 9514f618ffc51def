// Routes each inbound stanza to the handlers whose path expression matches it.
//
// A path is a sequence of segments separated by '/', each an element name with optional
// conditions `[@name="value"]`, e.g. `/iq[@type="get"]/query[@xmlns="jabber:iq:version"]/`.
// The handler receives the element matched by the last segment. Registrations changed
// from inside a handler take effect when the current dispatch has finished.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xmlobject.h"

namespace quillet::xml {

// A handler method: a function and its target object. Its identity, used to unregister,
// is the method alone; the target object is not compared.
class TXMLHandler {
 public:
  using Function = void (*)(void* target, TXMLObject& element);

  TXMLHandler() = default;
  TXMLHandler(Function function, void* target) : function_(function), target_(target) {}

  // TXMLHandler::Of<&TXMPP::HandleMessage>(this)
  template <auto Method, class T>
  static TXMLHandler Of(T* target) {
    return TXMLHandler(&Thunk<Method, T>, target);
  }

  explicit operator bool() const { return function_ != nullptr; }
  void operator()(TXMLObject& element) const { function_(target_, element); }
  bool SameMethod(const TXMLHandler& other) const { return function_ == other.function_; }
  // The method's identity as 8 upper-case hexadecimal digits, for error messages.
  std::string IdentityText() const;

 private:
  template <auto Method, class T>
  static void Thunk(void* target, TXMLObject& element) {
    (static_cast<T*>(target)->*Method)(element);
  }

  Function function_ = nullptr;
  void* target_ = nullptr;
};

// A compiled path: one segment per element level. Views point into the owning text.
class TXMLPath {
 public:
  struct Condition {
    std::string_view name;
    std::string_view value;
  };
  struct Segment {
    std::string_view name;
    std::vector<Condition> conditions;
  };

  // Raises EXMLError "invalid path" + path when a condition has no ']'.
  explicit TXMLPath(std::string_view path);
  TXMLPath(const TXMLPath&) = delete;
  TXMLPath& operator=(const TXMLPath&) = delete;

  const std::string& text() const { return text_; }
  bool rooted() const { return rooted_; }
  const std::vector<Segment>& segments() const { return segments_; }
  // The pattern from segment `from` down, serialised as a chain of elements.
  std::string PatternXML(size_t from = 0) const;

 private:
  std::string text_;      // as given, for finding the registration again
  std::string compiled_;  // with a trailing '/'; the segments' views point here
  bool rooted_ = false;
  std::vector<Segment> segments_;
};

// Searches below `element`: the path's first segment names a child of it. Returns the
// last matching element in document order, or none.
TXMLObject* FindXML(const TXMLObject* element, std::string_view path);
TXMLObject* FindXML(const TXMLObject* element, const TXMLPath& path);

// The handler registry, owned by its engine.
class TXMLRegistry {
 public:
  TXMLRegistry();
  ~TXMLRegistry();

  // Ignored for an empty path or a handler without function.
  void RegisterXML(std::string_view path, TXMLHandler handler);
  // Removes every registration with this exact path text and this method. Raises
  // EXMLError `unregisterxml : not found "<path>" @<identity>` when there is none.
  void UnregisterXML(std::string_view path, TXMLHandler handler);
  // Inside a dispatch this too waits until the dispatch has finished.
  void ClearRegistrations();
  // Calls every matching handler, registrations in order, leaf matches in document order.
  void DispatchXML(TXMLObject& stanza);

  // Told why a handler failed (the dispatch of that stanza ended there).
  std::function<void(const std::string&)> OnCallbackError;

  bool Dispatching() const { return deferred_ != nullptr; }
  size_t size() const { return registrations_.size(); }

 private:
  struct Registration;
  struct Change;
  void Add(std::string_view path, TXMLHandler handler);
  void Remove(std::string_view path, TXMLHandler handler);

  std::vector<std::unique_ptr<Registration>> registrations_;
  // Exists only while a dispatch runs.
  std::unique_ptr<std::vector<Change>> deferred_;
};

}  // namespace quillet::xml
