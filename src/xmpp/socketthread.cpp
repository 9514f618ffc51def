#include "xmpp/socketthread.h"

#include <deque>

#include "xml/parser.h"

namespace quillet::xmpp {

using platform::Payload;
using platform::TcpStream;

namespace {

constexpr std::string_view kStreamNamespace = "http://etherx.jabber.org/streams";
constexpr std::chrono::milliseconds kTlsHandshakeTimeout{10000};
// Nothing needs a periodic turn; this only bounds a wait should a wake-up ever be missed.
constexpr std::chrono::milliseconds kIdleWait{1000};
// A server that sends faster than the engine handles stanzas is not read from while this
// many wait (TCP then holds it back), and is read again once the engine has caught up.
constexpr size_t kBacklogHighWater = 4096;
constexpr size_t kBacklogLowWater = 1024;

}  // namespace

struct TSocketThread::Impl : xml::StreamReader::Sink {
  Impl(platform::MessageTarget::Poster t, uint64_t g, TSocketConfig c)
      : target(std::move(t)), generation(g), config(std::move(c)) {
    if (config.tls.host.empty()) config.tls.host = config.stream_domain;
  }

  platform::MessageTarget::Poster target;
  const uint64_t generation;
  TSocketConfig config;
  platform::WakeFd wake;

  // Shared with the main thread.
  std::mutex send_lock;
  std::string outbound;
  std::atomic<bool> restart_requested{false};
  std::atomic<bool> tls_requested{false};
  // The hand-over. Messages posted and not yet acknowledged, and those waiting for that.
  // The acknowledgement posts the next waiting message itself, on the main thread, so a
  // stanza costs no wake-up of this thread; one message in flight and the order stay.
  std::mutex handover_lock;
  int outstanding = 0;
  std::deque<std::pair<uint32_t, TSocketMessage>> backlog;

  // The thread's own.
  TcpStream stream;
  xml::StreamReader reader;
  std::string end_reason;
  std::string tls_note;
  std::jthread thread;

  // Called with handover_lock held.
  void PostLocked(uint32_t code, TSocketMessage msg) {
    msg.generation = generation;
    ++outstanding;
    target.Post(code, Payload::Make<TSocketMessage>(std::move(msg)));
  }

  // Outside the hand-over order (started, connected, ended); still acknowledged.
  void PostNow(uint32_t code, TSocketMessage msg) {
    std::lock_guard lock(handover_lock);
    PostLocked(code, std::move(msg));
  }

  void PostQueued(uint32_t code, TSocketMessage msg) {
    std::lock_guard lock(handover_lock);
    if (outstanding == 0 && backlog.empty()) {
      PostLocked(code, std::move(msg));
    } else {
      backlog.emplace_back(code, std::move(msg));
    }
  }

  // Main thread.
  void Acknowledged() {
    bool resume = false;
    {
      std::lock_guard lock(handover_lock);
      if (outstanding > 0) --outstanding;
      if (outstanding == 0 && !backlog.empty()) {
        auto [code, msg] = std::move(backlog.front());
        backlog.pop_front();
        PostLocked(code, std::move(msg));
      }
      resume = backlog.size() == kBacklogLowWater;
    }
    if (resume) wake.Signal();  // reading had paused for a full backlog
  }

  bool BacklogFull() {
    std::lock_guard lock(handover_lock);
    return backlog.size() >= kBacklogHighWater;
  }

  void DropBacklog() {
    std::lock_guard lock(handover_lock);
    backlog.clear();
  }

  static TSocketMessage Text(std::string text) {
    TSocketMessage m;
    m.has_text = true;
    m.text = std::move(text);
    return m;
  }

  // StreamReader::Sink
  void OnRawText(std::string_view text) override {
    PostQueued(XM_RAWTEXT, Text(std::string(text)));
  }
  bool OnHeader(const xml::TXMLObject& root) override {
    if (root.GetAttribute("xmlns") != "jabber:client" ||
        root.GetAttribute("xmlns:stream") != kStreamNamespace) {
      end_reason = "stream header with wrong namespaces";
      return false;
    }
    PostQueued(XM_CONNECTED, Text(root.GetAttribute("id")));
    return true;
  }
  void OnStanza(std::unique_ptr<xml::TXMLObject> stanza) override {
    TSocketMessage m;
    m.stanza = std::move(stanza);
    PostQueued(XM_STANZA, std::move(m));
  }

  void OpenStream(bool first) {
    reader.Restart();
    std::string header;
    if (first) header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    header += "<stream:stream to=\"" + xml::EscapeXML(config.stream_domain) +
              "\" xmlns=\"jabber:client\" xmlns:stream=\"http://etherx.jabber.org/streams\" "
              "version=\"1.0\">";
    stream.Write(header);
  }

  std::string TakeOutbound() {
    std::lock_guard lock(send_lock);
    return std::exchange(outbound, {});
  }

  // Returns false when the connection is to end.
  bool StartTls() {
    if (stream.IsTls()) return true;
    platform::TlsResult r = stream.StartTls(config.tls, kTlsHandshakeTimeout);
    std::string note = "TLS established (" + r.protocol + ")";
    if (!r.message.empty()) note += ": " + r.message;
    if (!r.verified && r.accepted) note += "; certificate trusted by its fingerprint";
    tls_note = note;  // posted after the restart, which drops the backlog
    if (!r.accepted) {
      end_reason = r.message + " (SHA-256 fingerprint " + r.fingerprint + ")";
      return false;
    }
    return true;
  }

  void Execute(std::stop_token stop) {
    PostNow(XM_STARTED, {});
    try {
      stream.Connect(config.host, config.port, config.connect_timeout, &wake,
                     [&] { return stop.stop_requested(); });
      PostNow(XM_CONNECTED, {});
      OpenStream(true);
      std::string inbound;
      while (!stop.stop_requested()) {
        wake.Clear();  // before looking at the flags, so a later signal cuts the wait short
        if (tls_requested.exchange(false)) {
          if (!StartTls()) break;
          restart_requested = true;
        }
        if (restart_requested.exchange(false)) {
          DropBacklog();
          if (!tls_note.empty()) PostQueued(XM_DEBUG, Text(std::exchange(tls_note, {})));
          OpenStream(false);
        }
        if (std::string out = TakeOutbound(); !out.empty()) stream.Write(out);

        if (BacklogFull()) {
          wake.Wait(kIdleWait);
          continue;
        }
        if (stream.Wait(wake, kIdleWait) != TcpStream::WaitResult::kReadable) continue;
        inbound.clear();
        bool open = stream.ReadAvailable(inbound);
        if (!inbound.empty()) {
          auto status = reader.Feed(inbound, *this);
          if (status == xml::StreamReader::Status::Failed) {
            if (end_reason.empty()) end_reason = "stream error: " + reader.error();
            break;
          }
          if (status == xml::StreamReader::Status::Ended) {
            end_reason = "server closed the stream";
            break;
          }
        }
        if (!open) {
          end_reason = "server closed the connection";
          break;
        }
      }
    } catch (const std::exception& e) {
      end_reason = e.what();
    }
    if (stream.IsOpen()) {
      try {
        // What the engine queued before it asked us to stop still goes out.
        std::string out = TakeOutbound();
        stream.Write(out + "</stream:stream>");
      } catch (const std::exception&) {
      }
      stream.Close();
    }
    DropBacklog();
    PostNow(XM_ENDED, Text(end_reason));
  }
};

TSocketThread::TSocketThread(platform::MessageTarget::Poster engine, uint64_t generation,
                             TSocketConfig config)
    : impl_(std::make_unique<Impl>(std::move(engine), generation, std::move(config))) {}

TSocketThread::~TSocketThread() {
  if (impl_->thread.joinable()) {
    impl_->thread.request_stop();
    impl_->wake.Signal();
    impl_->thread.join();
  }
}

void TSocketThread::Start() {
  impl_->thread = std::jthread([this](std::stop_token st) { impl_->Execute(st); });
}

void TSocketThread::Send(std::string_view text) {
  if (text.empty()) return;
  {
    std::lock_guard lock(impl_->send_lock);
    impl_->outbound.append(text);
  }
  impl_->wake.Signal();
}

void TSocketThread::Acknowledge() {
  impl_->Acknowledged();
}

void TSocketThread::RequestRestart() {
  impl_->restart_requested = true;
  impl_->wake.Signal();
}

void TSocketThread::RequestStartTls() {
  impl_->tls_requested = true;
  impl_->wake.Signal();
}

}  // namespace quillet::xmpp
