#include "xml/parser.h"

#include <cstring>

namespace quillet::xml {

namespace {

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

const char* Find(const char* p, const char* end, char c) {
  return p < end ? static_cast<const char*>(std::memchr(p, c, size_t(end - p))) : nullptr;
}

constexpr std::string_view kInvalidTag = "invalid xml tag";
constexpr std::string_view kNoCloseTag = "no xml close tag found \">\"";
constexpr std::string_view kUnexpectedEnd = "unexpected end after body tag";
constexpr std::string_view kInvalidEndTag = "invalid end tag";
// Error texts quote the input; a whole stanza can be megabytes long.
constexpr size_t kQuotedInputLimit = 1024;

struct ParseFailure {
  std::string_view message;
  bool quote_text = false;
};

// One walk over a complete piece of text. Builds below state.current; throws ParseFailure
// (or EConvertError from entity decoding) on malformed input.
class Walker {
 public:
  Walker(TParseState& state, std::string_view text)
      : state_(state), begin_(text.data()), end_(text.data() + text.size()) {}

  void Run() {
    const char* p = begin_;
    bool drop_blanks = true;  // whitespace between elements is not character data
    while (p < end_) {
      if (drop_blanks) {
        p = SkipBlanks(p, end_);
        if (p == end_) break;
      }
      if (*p != '<') {
        p = CharacterData(p);
        drop_blanks = false;
        continue;
      }
      if (p + 1 == end_) throw ParseFailure{kNoCloseTag};
      if (p[1] == '/') {
        if (!EndTag(p, p)) return;
        drop_blanks = true;
      } else if (p[1] == '?') {
        const char* q = p + 2;
        for (;;) {
          q = Find(q, end_, '>');
          if (!q) throw ParseFailure{kNoCloseTag};
          if (q[-1] == '?' && q - 1 > p + 1) break;
          ++q;
        }
        p = q + 1;
        drop_blanks = true;
      } else {
        drop_blanks = StartTag(p, p);
      }
    }
  }

 private:
  TXMLObject* NewElement(std::string_view name) {
    if (state_.current) return state_.current->AddChild(std::string(name));
    state_.root = std::make_unique<TXMLObject>(std::string(name));
    return state_.root.get();
  }

  void Close(TXMLObject* e, const char* end_tag) {
    if (e == capture_body_) {
      // A formatted body keeps its inner markup as text, entities undecoded.
      if (e->ChildCount() > 0) {
        e->DeleteChildren();
        e->Text.assign(capture_start_, size_t(end_tag - capture_start_));
      }
      capture_body_ = nullptr;
    } else if (e->ChildCount() > 0) {
      e->Text.clear();
    }
    state_.current = e->Parent();
  }

  // Returns true when the tag was an empty-element tag (whitespace after it is dropped).
  bool StartTag(const char* lt, const char*& next) {
    const char* q = lt + 1;
    if (IsBlank(*q) || *q == '>' || *q == '<') throw ParseFailure{kInvalidTag};
    const char* name_begin = q;
    while (q < end_ && !IsBlank(*q) && *q != '/' && *q != '>') {
      if (*q == '<' || *q == '"' || *q == '\'') throw ParseFailure{kInvalidTag};
      ++q;
    }
    if (q == end_) throw ParseFailure{kNoCloseTag};
    TXMLObject* e = NewElement(std::string_view(name_begin, size_t(q - name_begin)));
    state_.current = e;
    bool empty = false;
    for (;;) {
      const char* after_blanks = SkipBlanks(q, end_);
      bool separated = after_blanks != q;
      q = after_blanks;
      if (q == end_) throw ParseFailure{kNoCloseTag};
      if (*q == '>') {
        ++q;
        break;
      }
      if (*q == '/') {
        if (q + 1 == end_) throw ParseFailure{kNoCloseTag};
        if (q[1] != '>') throw ParseFailure{kInvalidTag};
        q += 2;
        empty = true;
        break;
      }
      if (!separated) throw ParseFailure{kInvalidTag};
      const char* attr_begin = q;
      while (q < end_ && *q != '=' && !IsBlank(*q) && *q != '>' && *q != '/' && *q != '<') ++q;
      std::string_view attr_name(attr_begin, size_t(q - attr_begin));
      q = SkipBlanks(q, end_);
      if (q == end_) throw ParseFailure{kNoCloseTag};
      if (attr_name.empty() || *q != '=') throw ParseFailure{kInvalidTag};
      q = SkipBlanks(q + 1, end_);
      if (q == end_) throw ParseFailure{kNoCloseTag};
      if (*q != '"' && *q != '\'') throw ParseFailure{kInvalidTag};
      const char* close = Find(q + 1, end_, *q);
      if (!close) throw ParseFailure{kNoCloseTag};
      e->AddAttribute(attr_name, std::string_view(q + 1, size_t(close - q - 1)));
      q = close + 1;
    }
    next = q;
    if (empty) {
      Close(e, q);
      return true;
    }
    if (!capture_body_ && e->Name == "body" && e->GetAttribute("xmlns") == kXhtmlNamespace) {
      TXMLObject* parent = e->Parent();
      if (parent && parent->Name == "html" && parent->GetAttribute("xmlns") == kXhtmlImNamespace) {
        capture_body_ = e;
        capture_start_ = q;
      }
    }
    return false;
  }

  // Returns false when the stream's own end tag stopped the walk.
  bool EndTag(const char* lt, const char*& next) {
    const char* q = lt + 2;
    if (q < end_ && IsBlank(*q)) throw ParseFailure{kInvalidTag};
    if (!state_.current) throw ParseFailure{kInvalidTag};
    const char* gt = Find(q, end_, '>');
    if (!gt) throw ParseFailure{kUnexpectedEnd};
    const char* name_end = gt;
    while (name_end > q && IsBlank(name_end[-1])) --name_end;
    std::string_view name(q, size_t(name_end - q));
    if (name == "stream:stream") {
      FreeCurrent(state_);
      return false;
    }
    if (name != state_.current->Name) throw ParseFailure{kInvalidEndTag};
    Close(state_.current, lt);
    next = gt + 1;
    return true;
  }

  const char* CharacterData(const char* p) {
    if (!state_.current) throw ParseFailure{kInvalidTag};
    const char* lt = Find(p, end_, '<');
    if (!lt) throw ParseFailure{kUnexpectedEnd, true};
    std::string_view raw(p, size_t(lt - p));
    std::string& text = state_.current->Text;
    if (raw.find('&') == std::string_view::npos) {
      text.assign(raw);
    } else {
      text.clear();
      AppendUnescapedXML(text, raw);
    }
    return lt;
  }

 public:
  static void FreeCurrent(TParseState& state) {
    TXMLObject* c = state.current;
    state.current = nullptr;
    if (!c) return;
    if (c == state.root.get()) {
      state.root.reset();
    } else if (c->Parent()) {
      c->Detach();  // the returned owner frees it
    }
  }

 private:
  TParseState& state_;
  const char* begin_;
  const char* end_;
  TXMLObject* capture_body_ = nullptr;
  const char* capture_start_ = nullptr;
};

}  // namespace

bool ParseXML(TParseState& state, std::string_view text) {
  state.error.clear();
  try {
    Walker(state, text).Run();
    return true;
  } catch (const ParseFailure& f) {
    state.error.assign(f.message);
    if (f.quote_text) {
      state.error.append(text.substr(0, kQuotedInputLimit));
      if (text.size() > kQuotedInputLimit) state.error += "...";
    }
  } catch (const std::exception& e) {
    state.error = e.what();
  }
  Walker::FreeCurrent(state);
  return false;
}

std::vector<std::unique_ptr<TXMLObject>> ParseFragment(std::string_view text) {
  TParseState state;
  state.root = std::make_unique<TXMLObject>();
  state.current = state.root.get();
  if (!ParseXML(state, text)) throw EXMLError(state.error);
  // The walk may have closed or freed the scratch root itself (`</stream:stream>`).
  if (!state.root || state.current != state.root.get()) {
    throw EXMLError(std::string(kUnexpectedEnd));
  }
  return state.root->ReleaseChildren();
}

std::string NormalizeXML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_tag = false, after_open = false, drop_blanks = true;
  char quote = 0;
  size_t tag_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (after_open) {
      if (IsBlank(c)) throw EXMLError(std::string(kInvalidTag));
      if (c != '/') after_open = false;
    }
    if (c == '<') {
      if (in_tag) throw EXMLError(std::string(kInvalidTag));
      in_tag = after_open = true;
      drop_blanks = false;
      tag_start = i;
    } else if (c == '>' && in_tag) {
      in_tag = false;
      if ((tag_start + 1 < i && text[tag_start + 1] == '/') || text[i - 1] == '/' ||
          text[i - 1] == '?') {
        drop_blanks = true;
      }
    } else if (in_tag && (c == '"' || c == '\'')) {
      quote = c;
    } else if (drop_blanks && IsBlank(c)) {
      continue;
    }
    out += c;
  }
  if (in_tag) throw EXMLError(std::string(kNoCloseTag));
  return out;
}

// ---- StreamScanner ----

void StreamScanner::Restart() {
  *this = StreamScanner(true);
}

bool StreamScanner::Append(std::string_view bytes) {
  if (ended_) return true;
  pending_.append(bytes);
  const char* s = pending_.data();
  const size_t n = pending_.size();
  size_t i = scanned_;
  while (i < n && !ended_) {
    switch (state_) {
      case State::Text: {
        const void* lt = std::memchr(s + i, '<', n - i);
        if (!lt) {
          i = n;
          break;
        }
        i = size_t(static_cast<const char*>(lt) - s) + 1;
        state_ = State::TagOpen;
        break;
      }
      case State::TagOpen:
        if (s[i] == '/') {
          state_ = State::EndTag;
          ++i;
        } else if (s[i] == '?') {
          state_ = State::Instruction;
          ++i;
        } else {
          state_ = State::InTag;  // the name starts here; look at it again in InTag
        }
        break;
      case State::InTag: {
        size_t j = i;
        while (j < n && s[j] != '>' && s[j] != '"' && s[j] != '\'') ++j;
        if (j == n) {
          i = n;
          break;
        }
        if (s[j] == '>') {
          bool empty = s[j - 1] == '/';
          state_ = State::Text;
          TagEnded(j, empty ? 0 : 1);
        } else {
          quote_ = s[j];
          state_ = State::InQuote;
        }
        i = j + 1;
        break;
      }
      case State::InQuote: {
        const void* q = std::memchr(s + i, quote_, n - i);
        if (!q) {
          i = n;
          break;
        }
        i = size_t(static_cast<const char*>(q) - s) + 1;
        state_ = State::InTag;
        break;
      }
      case State::EndTag: {
        const void* gt = std::memchr(s + i, '>', n - i);
        if (!gt) {
          i = n;
          break;
        }
        size_t j = size_t(static_cast<const char*>(gt) - s);
        state_ = State::Text;
        TagEnded(j, -1);
        i = j + 1;
        break;
      }
      case State::Instruction: {
        const void* gt = std::memchr(s + i, '>', n - i);
        if (!gt) {
          i = n;
          break;
        }
        size_t j = size_t(static_cast<const char*>(gt) - s);
        if (s[j - 1] == '?') state_ = State::Text;  // a declaration neither opens nor closes
        i = j + 1;
        break;
      }
    }
  }
  scanned_ = ended_ ? n : i;
  return pending_.size() - cut_ <= kMaxPending;
}

void StreamScanner::TagEnded(size_t gt, int depth_change) {
  if (awaiting_header_) {
    // The first tag is the stream header; what follows is counted from the stream root.
    awaiting_header_ = false;
    depth_ = 0;
    cut_ = gt + 1;
    return;
  }
  depth_ += depth_change;
  if (depth_ == 0) {
    cut_ = gt + 1;
  } else if (depth_ < 0) {
    // The server's `</stream:stream>`: stop before it, so the stanzas ahead of it survive.
    ended_ = true;
    cut_ = pending_.rfind('<', gt);
  }
}

void StreamScanner::ConsumeComplete() {
  if (cut_ == 0) return;
  size_t drop = cut_;
  if (!ended_ && depth_ == 0 && state_ == State::Text) {
    while (drop < pending_.size() && IsBlank(pending_[drop])) ++drop;
  }
  pending_.erase(0, drop);
  scanned_ = scanned_ > drop ? scanned_ - drop : 0;
  cut_ = 0;
}

bool StanzaComplete(std::string_view pending, bool awaiting_header) {
  size_t end = pending.size();
  while (end > 0 && IsBlank(pending[end - 1])) --end;
  if (end == 0) return false;
  StreamScanner scanner(awaiting_header);
  scanner.Append(pending.substr(0, end));
  return scanner.CompleteText().size() == end;
}

// ---- StreamReader ----

void StreamReader::Restart() {
  scanner_.Restart();
  state_ = TParseState();
  status_ = Status::Open;
  error_.clear();
}

StreamReader::Status StreamReader::Fail(std::string reason) {
  error_ = std::move(reason);
  status_ = Status::Failed;
  return status_;
}

StreamReader::Status StreamReader::Feed(std::string_view bytes, Sink& sink) {
  if (status_ != Status::Open) return status_;
  if (!scanner_.Append(bytes)) {
    return Fail("inbound stanza larger than " + std::to_string(StreamScanner::kMaxPending >> 20) +
                " MiB");
  }
  std::string_view text = scanner_.CompleteText();
  if (!text.empty()) {
    bool header = !state_.root;
    if (!ParseXML(state_, text)) return Fail(state_.error);
    sink.OnRawText(text);
    scanner_.ConsumeComplete();
    if (header) {
      if (!state_.root || state_.current != state_.root.get()) return Fail("no stream header");
      if (!sink.OnHeader(*state_.root)) return Fail("stream header refused");
    }
    if (state_.current && state_.current == state_.root.get()) {
      for (auto& stanza : state_.root->ReleaseChildren()) sink.OnStanza(std::move(stanza));
    } else {
      return Fail("stream left inside an element");
    }
  }
  if (scanner_.StreamEnded()) {
    state_ = TParseState();
    status_ = Status::Ended;
  }
  return status_;
}

}  // namespace quillet::xml
