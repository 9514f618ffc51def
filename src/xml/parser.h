// Cuts the inbound XMPP stream into stanzas and parses them into TXMLObject trees.
//
// The stream is one XML document that stays open for the whole session. StreamScanner
// decides, incrementally and in time linear in the bytes received, where the pending text
// can be cut so that everything before the cut parses as a whole; ParseXML turns such a
// piece into children of the element open at its start (the stream root).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xmlobject.h"

namespace quillet::xml {

inline constexpr std::string_view kXhtmlImNamespace = "http://jabber.org/protocol/xhtml-im";
inline constexpr std::string_view kXhtmlNamespace = "http://www.w3.org/1999/xhtml";

// What ParseXML works on: the element open at the start of the text, and the owner of
// the top of the tree when the parser had to create it (the stream root).
struct TParseState {
  std::unique_ptr<TXMLObject> root;
  TXMLObject* current = nullptr;
  // Why the last failed ParseXML left `current` none.
  std::string error;
};

// Parses `text` into state.current (a new root when it is none). On failure frees the
// element being built, sets state.current to none, puts the reason in state.error and
// returns false. A `</stream:stream>` end tag frees the current element and stops.
bool ParseXML(TParseState& state, std::string_view text);

// Parses a whole string into a nameless scratch root and hands over its children.
// Raises EXMLError with the parser's message on failure.
std::vector<std::unique_ptr<TXMLObject>> ParseFragment(std::string_view text);

// Checks tag syntax and drops the whitespace between elements: before the first tag and
// after every end tag, empty-element tag and processing instruction, up to the next '<'.
// Raises EXMLError "invalid xml tag" on whitespace right after '<' or '</', on '<' inside
// a tag and on a tag that never closes.
std::string NormalizeXML(std::string_view text);

// Whether the whole pending text can be parsed at once: it ends (ignoring trailing
// whitespace) where every element opened in it is closed again, or right after the stream
// header while that is awaited.
bool StanzaComplete(std::string_view pending, bool awaiting_header);

// Incremental completeness test over the pending inbound text. Each byte is looked at once;
// '<' and '>' inside quoted attribute values and '>' in character data are handled.
class StreamScanner {
 public:
  // A stanza or a pending text larger than this ends the stream.
  static constexpr size_t kMaxPending = size_t(16) << 20;

  explicit StreamScanner(bool awaiting_header = true) : awaiting_header_(awaiting_header) {}

  // A new stream on the connection: nothing pending, the header is awaited.
  void Restart();
  // Appends and scans. Returns false once the text not yet complete exceeds kMaxPending.
  bool Append(std::string_view bytes);

  // The longest complete prefix of the pending text (empty when there is none).
  std::string_view CompleteText() const { return std::string_view(pending_).substr(0, cut_); }
  // Drops the complete prefix, and any keep-alive whitespace between stanzas after it.
  void ConsumeComplete();

  // The server closed the stream: CompleteText() ends before its `</stream:stream>`.
  bool StreamEnded() const { return ended_; }
  bool AwaitingHeader() const { return awaiting_header_; }
  std::string_view Pending() const { return pending_; }

 private:
  enum class State : uint8_t { Text, TagOpen, InTag, InQuote, EndTag, Instruction };
  // A tag ended at `gt`: +1 start tag, 0 empty-element tag, -1 end tag.
  void TagEnded(size_t gt, int depth_change);

  std::string pending_;
  size_t scanned_ = 0;
  size_t cut_ = 0;
  // Depth relative to the stream root: 0 between stanzas.
  int depth_ = 0;
  State state_ = State::Text;
  char quote_ = 0;
  bool awaiting_header_ = true;
  bool ended_ = false;
};

// The stream path as a whole: bytes in, stream header and detached stanzas out, in order.
class StreamReader {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // The complete text just parsed (for the debug view).
    virtual void OnRawText(std::string_view /*text*/) {}
    // The server's stream header; returning false ends the stream.
    virtual bool OnHeader(const TXMLObject& root) = 0;
    virtual void OnStanza(std::unique_ptr<TXMLObject> stanza) = 0;
  };

  enum class Status { Open, Ended, Failed };

  // A new stream (after STARTTLS or another restart): header awaited, old root freed.
  void Restart();
  // Feeds one read. Once Ended or Failed, further input is ignored.
  Status Feed(std::string_view bytes, Sink& sink);

  Status status() const { return status_; }
  const std::string& error() const { return error_; }
  const TXMLObject* root() const { return state_.root.get(); }
  const StreamScanner& scanner() const { return scanner_; }

 private:
  Status Fail(std::string reason);

  StreamScanner scanner_;
  TParseState state_;
  Status status_ = Status::Open;
  std::string error_;
};

}  // namespace quillet::xml
