#include "platform/tcpstream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/crypto.h"

namespace quillet::platform {

using Clock = std::chrono::steady_clock;

namespace {

std::string SysError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string SslErrors() {
  std::string out;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out.empty() ? "unknown TLS error" : out;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : int(left.count());
}

// Waits for `events` on fd (and for the wake-up descriptor). Returns false on timeout.
bool PollFor(int fd, short events, int wake_fd, int timeout_ms, bool* woken = nullptr) {
  pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    int n = ::poll(p, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw NetError(SysError("poll"));
    if (woken) *woken = wake_fd >= 0 && (p[1].revents & POLLIN);
    return n > 0;
  }
}

std::string TimeText(const ASN1_TIME* t) {
  BIO* bio = BIO_new(BIO_s_mem());
  ASN1_TIME_print(bio, t);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string out(data, size_t(len));
  BIO_free(bio);
  return out;
}

std::string NormalizeFingerprint(std::string_view f) {
  std::string out;
  for (char c : f) {
    if (c == ':' || c == ' ') continue;
    out += (c >= 'A' && c <= 'F') ? char(c - 'A' + 'a') : c;
  }
  return out;
}

// TLS writes go through write(), which raises SIGPIPE on a connection the peer has closed;
// the error code is all we want. The stream is used by one thread, which blocks it.
void BlockSigPipe() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  blocked = true;
}

}  // namespace

// ---- WakeFd ----

WakeFd::WakeFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw NetError(SysError("eventfd"));
}
WakeFd::~WakeFd() {
  ::close(fd_);
}
void WakeFd::Signal() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}
void WakeFd::Wait(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  while (::poll(&p, 1, int(timeout.count())) < 0 && errno == EINTR) {
  }
}
void WakeFd::Clear() {
  uint64_t v;
  [[maybe_unused]] ssize_t n = ::read(fd_, &v, sizeof v);
}

// ---- TcpStream ----

struct TcpStream::Tls {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~Tls() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

TcpStream::TcpStream() = default;
TcpStream::~TcpStream() {
  Close();
}

bool TcpStream::IsTls() const {
  return tls_ && tls_->ssl;
}

void TcpStream::Close() {
  if (tls_ && tls_->ssl && fd_ >= 0) SSL_shutdown(tls_->ssl);  // best effort close_notify
  tls_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpStream::Connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                        WakeFd* wake, const std::function<bool()>& cancelled) {
  Close();
  BlockSigPipe();
  if (host.empty()) throw NetError("no host to connect to");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
    throw NetError("cannot resolve " + host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(list, freeaddrinfo);
  const auto deadline = Clock::now() + timeout;
  std::string last_error = "no address for " + host;
  for (addrinfo* a = list; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_error = SysError("socket");
      continue;
    }
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc < 0 && errno == EINPROGRESS) {
      for (;;) {
        bool woken = false;
        if (!PollFor(fd, POLLOUT, wake ? wake->fd() : -1, RemainingMs(deadline), &woken)) {
          ::close(fd);
          throw NetError("connection to " + host + ":" + service + " timed out");
        }
        if (!woken) break;
        wake->Clear();
        if (cancelled && cancelled()) {
          ::close(fd);
          throw NetError("connection attempt cancelled");
        }
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      rc = err ? -1 : 0;
      errno = err;
    }
    if (rc < 0) {
      last_error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
      ::close(fd);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    return;
  }
  throw NetError(last_error);
}

TcpStream::WaitResult TcpStream::Wait(const WakeFd& wake, std::chrono::milliseconds timeout) {
  if (IsTls() && SSL_pending(tls_->ssl) > 0) return WaitResult::kReadable;
  pollfd p[2] = {{fd_, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
  for (;;) {
    int n = ::poll(p, 2, int(timeout.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw NetError(SysError("poll"));
    if (n == 0) return WaitResult::kTimeout;
    // Data first: a wake-up is looked at on the next turn anyway.
    if (p[0].revents) return WaitResult::kReadable;
    return WaitResult::kWoken;
  }
}

bool TcpStream::ReadAvailable(std::string& out) {
  if (fd_ < 0) return false;
  char buf[16384];
  if (IsTls()) {
    // Acknowledge at once: after a TLS 1.3 handshake a server that holds its answer until
    // our delayed ACK of its session tickets costs every login some 40 ms.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  for (;;) {
    if (IsTls()) {
      ERR_clear_error();
      int n = SSL_read(tls_->ssl, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, size_t(n));
        continue;
      }
      int err = SSL_get_error(tls_->ssl, n);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return true;
      if (err == SSL_ERROR_ZERO_RETURN) return false;
      if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return false;  // closed without notify
      throw NetError("TLS read failed: " + SslErrors());
    }
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      out.append(buf, size_t(n));
      if (size_t(n) < sizeof buf) return true;
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno == ECONNRESET) return false;
    throw NetError(SysError("read"));
  }
}

void TcpStream::Write(std::string_view data) {
  if (fd_ < 0) throw NetError("not connected");
  constexpr int kWriteTimeoutMs = 30000;
  while (!data.empty()) {
    if (IsTls()) {
      ERR_clear_error();
      int n = SSL_write(tls_->ssl, data.data(), int(std::min<size_t>(data.size(), 1 << 20)));
      if (n > 0) {
        data.remove_prefix(size_t(n));
        continue;
      }
      int err = SSL_get_error(tls_->ssl, n);
      short events = err == SSL_ERROR_WANT_READ    ? POLLIN
                     : err == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                   : 0;
      if (!events) throw NetError("TLS write failed: " + SslErrors());
      if (!PollFor(fd_, events, -1, kWriteTimeoutMs)) throw NetError("write timed out");
      continue;
    }
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!PollFor(fd_, POLLOUT, -1, kWriteTimeoutMs)) throw NetError("write timed out");
      continue;
    }
    throw NetError(SysError("write"));
  }
}

TlsResult TcpStream::StartTls(const TlsOptions& options, std::chrono::milliseconds timeout) {
  if (fd_ < 0) throw NetError("not connected");
  auto tls = std::make_unique<Tls>();
  tls->ctx = SSL_CTX_new(TLS_client_method());
  if (!tls->ctx) throw NetError("TLS: " + SslErrors());
  SSL_CTX_set_min_proto_version(tls->ctx, TLS1_2_VERSION);
  // A peer that goes away without close_notify has simply closed the connection.
  SSL_CTX_set_options(tls->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (!options.ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(tls->ctx, options.ca_file.c_str(), nullptr) != 1) {
      throw NetError("cannot read CA file " + options.ca_file + ": " + SslErrors());
    }
  } else {
    SSL_CTX_set_default_verify_paths(tls->ctx);
  }
  // Verified after the handshake, so the reason can be reported and a trusted
  // fingerprint can still accept the certificate.
  SSL_CTX_set_verify(tls->ctx, SSL_VERIFY_NONE, nullptr);
  tls->ssl = SSL_new(tls->ctx);
  SSL_set_fd(tls->ssl, fd_);
  if (!options.host.empty()) SSL_set_tlsext_host_name(tls->ssl, options.host.c_str());

  const auto deadline = Clock::now() + timeout;
  for (;;) {
    ERR_clear_error();
    int rc = SSL_connect(tls->ssl);
    if (rc == 1) break;
    int err = SSL_get_error(tls->ssl, rc);
    short events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (!events) throw NetError("TLS handshake failed: " + SslErrors());
    if (!PollFor(fd_, events, -1, RemainingMs(deadline))) throw NetError("TLS handshake timed out");
  }

  TlsResult result;
  result.protocol = SSL_get_version(tls->ssl);
  X509* cert = SSL_get1_peer_certificate(tls->ssl);
  if (!cert) {
    result.message = "Server sent no certificate";
  } else {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    X509_digest(cert, EVP_sha256(), md, &md_len);
    result.fingerprint = ToHex(std::string_view(reinterpret_cast<char*>(md), md_len));
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    result.subject = subject;
    long vr = SSL_get_verify_result(tls->ssl);
    bool host_ok =
        X509_check_host(cert, options.host.c_str(), options.host.size(), 0, nullptr) == 1;
    if (!host_ok) {
      result.message = "Certificate does not match host: " + result.subject;
    } else if (vr == X509_V_ERR_CERT_NOT_YET_VALID) {
      result.message = "Certificate not valid until " + TimeText(X509_get0_notBefore(cert));
    } else if (vr == X509_V_ERR_CERT_HAS_EXPIRED) {
      result.message = "Certificate expired on " + TimeText(X509_get0_notAfter(cert));
    } else if (vr != X509_V_OK) {
      result.message = std::string("Certificate not trusted: ") + X509_verify_cert_error_string(vr);
    }
    result.verified = result.message.empty();
    X509_free(cert);
  }
  result.accepted =
      result.verified || (!result.fingerprint.empty() &&
                          NormalizeFingerprint(options.trusted_fingerprint) == result.fingerprint);
  tls_ = std::move(tls);
  return result;
}

}  // namespace quillet::platform
