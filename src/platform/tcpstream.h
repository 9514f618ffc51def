// A TCP client connection with optional TLS, for one connection thread. Reads never block:
// the owner waits with Wait(), which also returns when its wake-up descriptor is signalled.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillet::platform {

class NetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TlsOptions {
  // Name the certificate must be issued for (the XMPP domain); also sent as SNI.
  std::string host;
  // PEM file of trusted CAs; empty: the system trust store.
  std::string ca_file;
  // SHA-256 fingerprint (hex, case and colons ignored) of a certificate the user trusts
  // although it does not verify.
  std::string trusted_fingerprint;
};

struct TlsResult {
  bool verified = false;    // chain and host check passed
  bool accepted = false;    // verified, or its fingerprint is trusted
  std::string message;      // why the check failed; empty when it passed
  std::string fingerprint;  // SHA-256 of the server certificate, lower-case hex
  std::string subject;
  std::string protocol;  // e.g. "TLSv1.3"
};

// An eventfd that another thread signals to cut a Wait() short.
class WakeFd {
 public:
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;
  void Signal();
  void Clear();
  // Waits until signalled or the timeout passes.
  void Wait(std::chrono::milliseconds timeout);
  int fd() const { return fd_; }

 private:
  int fd_;
};

class TcpStream {
 public:
  TcpStream();
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Resolves `host` (a name or a literal address) and connects within `timeout`. When `wake`
  // is signalled the attempt is given up if `cancelled` says so. Raises NetError.
  void Connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
               WakeFd* wake = nullptr, const std::function<bool()>& cancelled = {});
  bool IsOpen() const { return fd_ >= 0; }

  enum class WaitResult { kReadable, kWoken, kTimeout };
  // Waits until data can be read, the wake-up descriptor is signalled or the timeout passes.
  WaitResult Wait(const WakeFd& wake, std::chrono::milliseconds timeout);

  // Appends what can be read now to `out`. Returns false when the peer has closed the
  // connection; raises NetError on failure.
  bool ReadAvailable(std::string& out);
  // Writes all of `data` (waiting while the socket is full). Raises NetError on failure.
  void Write(std::string_view data);

  // TLS client handshake on the open connection. The certificate is checked but the
  // connection stays up either way; the caller decides by the result. Raises NetError when
  // the handshake itself fails.
  TlsResult StartTls(const TlsOptions& options, std::chrono::milliseconds timeout);
  bool IsTls() const;

  void Close();

 private:
  struct Tls;
  int fd_ = -1;
  std::unique_ptr<Tls> tls_;
};

}  // namespace quillet::platform
