// The connection thread: owns the TCP (and TLS) connection of one connection attempt,
// writes the stream header, cuts the inbound text into stanzas and hands them to the
// engine one at a time: a message is posted only when the engine has acknowledged the
// previous one, so a stanza's dispatch is complete before the next one arrives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/messagetarget.h"
#include "platform/tcpstream.h"
#include "xml/xmlobject.h"

namespace quillet::xmpp {

// Message codes, as the engine's window messages were numbered.
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t XM_STARTED = WM_USER + 0;
constexpr uint32_t XM_CONNECTED = WM_USER + 1;  // no text: TCP is up; text: a stream id
constexpr uint32_t XM_ENDED = WM_USER + 2;      // text: why, empty when asked to stop
constexpr uint32_t XM_STANZA = WM_USER + 3;
constexpr uint32_t XM_RAWTEXT = WM_USER + 4;
constexpr uint32_t XM_DEBUG = WM_USER + 5;  // text: a progress or certificate message

// Payload of every message. `generation` tells the engine which connection it came from, so
// a message of an old connection never acts on a newer one.
struct TSocketMessage {
  uint64_t generation = 0;
  bool has_text = false;
  std::string text;
  std::unique_ptr<xml::TXMLObject> stanza;
};

struct TSocketConfig {
  std::string host;
  uint16_t port = 5222;
  std::chrono::milliseconds connect_timeout{3000};
  std::string stream_domain;
  platform::TlsOptions tls;  // host defaults to stream_domain
};

class TSocketThread {
 public:
  TSocketThread(platform::MessageTarget::Poster engine, uint64_t generation, TSocketConfig config);
  // Stops the thread: it closes the stream (`</stream:stream>`) and the socket, posts
  // XM_ENDED and returns; waits for that.
  ~TSocketThread();
  TSocketThread(const TSocketThread&) = delete;
  TSocketThread& operator=(const TSocketThread&) = delete;

  void Start();
  // Queues text for writing; the thread writes everything queued at its next turn.
  void Send(std::string_view text);
  // The engine has handled the last message posted to it.
  void Acknowledge();
  void RequestRestart();
  void RequestStartTls();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillet::xmpp
