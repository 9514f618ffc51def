// Inbound stanza delivery through the engine: a pusher inside this program logs the
// engine in on a plain loopback connection (PLAIN offered, no STARTTLS) and then writes
// small chat messages as fast as the socket takes them, in large writes. A handler on
// /message/ counts; the clock runs from the first byte pushed to the last handler call.
//
// Anchors in the same run, on the same bytes:
//   in-process  StreamReader + TXMLRegistry::DispatchXML, no socket, no threads: what the
//               connection thread and the hand-over to the main loop add is the gap.
//   hand-over   the one-message-in-flight protocol alone (post to a MessageTarget, wait on
//               an eventfd for the acknowledgement), no parsing: its floor per message.
//
//   stanza_delivery [--rounds N] [--scale F]
//
// --rounds: measured rounds (5), after one warm-up; --scale shrinks the 100,000 stanzas.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/messagetarget.h"
#include "platform/simpleeventloop.h"
#include "platform/tcpstream.h"
#include "xml/parser.h"
#include "xml/registry.h"
#include "xmpp/xmpp.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillet::xml::TXMLHandler;
using quillet::xml::TXMLObject;

constexpr auto kTimeout = std::chrono::seconds(120);
constexpr size_t kWrite = 256 * 1024;  // the pusher's write size
constexpr size_t kAnchorRead = 16384;  // the connection thread's recv() size

const std::string kServerHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
    "xmlns:stream='http://etherx.jabber.org/streams' id='push_1' from='quillet.test' "
    "version='1.0'>";

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "stanza_delivery: %s\n", why.c_str());
  std::exit(1);
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

pid_t ThreadId() {
  return pid_t(::syscall(SYS_gettid));
}

std::string Messages(size_t count) {
  std::string out;
  out.reserve(count * 120);
  for (size_t i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    out += "<message from='a@quillet.test/r' to='juliet@quillet.test/quillet1' type='chat' id='";
    out += n;
    out += "'><body>hello ";
    out += n;
    out += "</body></message>";
  }
  return out;
}

// What the engine's handler does, and the anchor's too: count, and check the order.
struct TCounter {
  size_t count = 0;
  size_t target = 0;
  bool out_of_order = false;
  Clock::time_point last;

  void OnMessage(TXMLObject& message) {
    ++count;
    const std::string& id = message.GetAttribute("id");
    size_t n = 0;
    std::from_chars(id.data(), id.data() + id.size(), n);
    if (n != count) out_of_order = true;
    if (count == target) last = Clock::now();
  }
  void Reset(size_t n) {
    count = 0;
    target = n;
    out_of_order = false;
  }
};

// ---- the pusher: just enough of a server to log the engine in, then a firehose ----

class TPusher {
 public:
  TPusher() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 1) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      Die(std::string("pusher: ") + std::strerror(errno));
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TPusher() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    ::close(listen_);
  }
  TPusher(const TPusher&) = delete;
  TPusher& operator=(const TPusher&) = delete;

  uint16_t port() const { return port_; }
  pid_t tid() const { return tid_.load(); }

  // Starts writing `bytes` (which must stay alive) on the pusher's thread.
  void Push(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    push_ = &bytes;
    written_.reset();
    cv_.notify_all();
  }
  Clock::time_point first_byte() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return push_ == nullptr || !error_.empty(); });
    return first_byte_;
  }
  // When the kernel had taken the last byte.
  Clock::time_point written() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return written_.has_value() || !error_.empty(); });
    return written_.value_or(Clock::now());
  }
  std::string error() {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void Fail(std::string why) {
    std::lock_guard lock(mutex_);
    error_ = std::move(why);
    cv_.notify_all();
  }

  // Reads until `marker` has come; returns what came up to its end.
  std::optional<std::string> Await(std::string_view marker) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      size_t at = in_.find(marker, seen_);
      if (at != std::string::npos) {
        std::string got = in_.substr(seen_, at + marker.size() - seen_);
        seen_ = at + marker.size();
        return got;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return std::nullopt;
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return std::nullopt;
      in_.append(buf, size_t(n));
    }
  }

  bool Send(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      text.remove_prefix(size_t(n));
    }
    return true;
  }

  // The id of the last iq in `text` (the engine writes id="..." first).
  static std::string IdOf(const std::string& text) {
    size_t at = text.rfind("<iq id=\"");
    if (at == std::string::npos) return {};
    at += 8;
    return text.substr(at, text.find('"', at) - at);
  }

  bool Answer(std::string_view marker, const std::string& inner) {
    auto got = Await(marker);
    if (!got) return false;
    return Send("<iq type='result' id='" + IdOf(*got) + "'>" + inner + "</iq>");
  }

  bool LogIn() {
    const std::string features_plain =
        "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
        "<mechanism>PLAIN</mechanism></mechanisms></stream:features>";
    const std::string features_bind =
        "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>"
        "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'><optional/></session>"
        "</stream:features>";
    return Await("version=\"1.0\">") && Send(kServerHeader + features_plain) && Await("</auth>") &&
           Send("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>") &&
           Await("version=\"1.0\">") && Send(kServerHeader + features_bind) &&
           Answer("</bind></iq>",
                  "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'>"
                  "<jid>juliet@quillet.test/quillet1</jid></bind>") &&
           Answer("xmpp-session\"/></iq>", "") &&
           Answer("<query xmlns=\"jabber:iq:roster\"/></iq>", "<query xmlns='jabber:iq:roster'/>");
  }

  void Run() {
    tid_ = ThreadId();
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return Fail("no client connected");
    fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) return Fail("accept failed");
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!LogIn()) return Fail("login script failed; received:\n" + in_);
    for (;;) {
      const std::string* bytes;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return push_ != nullptr || stop_; });
        if (stop_) break;
        bytes = push_;
        first_byte_ = Clock::now();
        push_ = nullptr;
      }
      cv_.notify_all();
      std::string_view rest(*bytes);
      while (!rest.empty()) {
        size_t n = std::min(rest.size(), kWrite);
        if (!Send(rest.substr(0, n))) return Fail("push failed");
        rest.remove_prefix(n);
      }
      std::lock_guard lock(mutex_);
      written_ = Clock::now();
      cv_.notify_all();
    }
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
  }

  int listen_ = -1, fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
  std::string in_;
  size_t seen_ = 0;

  std::mutex mutex_;
  std::condition_variable cv_;
  const std::string* push_ = nullptr;
  bool stop_ = false;
  Clock::time_point first_byte_;
  std::optional<Clock::time_point> written_;
  std::string error_;
};

// ---- scheduler counters of this process's threads, from /proc ----

struct TThreadStats {
  double run_ms = 0;    // on a CPU
  double sys_ms = 0;    // of which in the kernel (clock-tick resolution)
  double queue_ms = 0;  // runnable, waiting for a CPU
  long voluntary = 0;   // went to sleep (waited for something)
  long involuntary = 0;
};

std::map<pid_t, TThreadStats> SnapshotThreads() {
  std::map<pid_t, TThreadStats> out;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    pid_t tid = pid_t(std::atol(task.path().filename().c_str()));
    TThreadStats s;
    std::ifstream sched(task.path() / "schedstat");
    double run = 0, queue = 0;
    if (sched >> run >> queue) {
      s.run_ms = run / 1e6;
      s.queue_ms = queue / 1e6;
    }
    // utime and stime are the 14th and 15th fields; the name before them may hold spaces.
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (size_t paren = text.rfind(')'); paren != std::string::npos) {
      std::istringstream fields(text.substr(paren + 2));
      std::string skip;
      for (int f = 3; f <= 14; ++f) fields >> skip;
      double stime = 0;
      fields >> stime;
      s.sys_ms = stime * 1e3 / double(::sysconf(_SC_CLK_TCK));
    }
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:")) s.voluntary = std::atol(line.c_str() + 24);
      if (line.starts_with("nonvoluntary_ctxt_switches:"))
        s.involuntary = std::atol(line.c_str() + 27);
    }
    out[tid] = s;
  }
  return out;
}

// The process's peak resident set (VmHWM), in MB.
double PeakRssMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return double(std::atol(line.c_str() + 6)) / 1024;
  }
  return 0;
}

// ---- the three measurements ----

// The engine, logged in once; each round pushes the same bytes on the same connection.
class TEngineRun {
 public:
  TEngineRun() {
    xmpp_.SetServer("127.0.0.1");
    xmpp_.SetPort(pusher_.port());
    xmpp_.SetUserName("juliet@quillet.test");
    xmpp_.SetPassword("r0m30");
    xmpp_.SetSSLMode(quillet::xmpp::smWhenPossible);
    xmpp_.AfterAuthenticate = [this](bool ok) { result_ = ok; };
    xmpp_.OnDisconnected = [this] { disconnected_ = true; };
    xmpp_.OnDebug = [this](const std::string& t, bool) { debug_ += t + "\n"; };
    xmpp_.Connect();
    // Connect() clears the registrations of earlier connections; ours comes after it.
    xmpp_.RegisterXML("/message/", TXMLHandler::Of<&TCounter::OnMessage>(&counter_));
    loop_.RunUntil([&] { return result_.has_value() || disconnected_; }, kTimeout);
    if (!result_ || !*result_) Die("engine did not log in:\n" + debug_ + pusher_.error());
  }
  ~TEngineRun() {
    if (xmpp_.Active()) xmpp_.Disconnect();
    loop_.RunUntil([&] { return disconnected_; }, std::chrono::seconds(5));
  }
  TEngineRun(const TEngineRun&) = delete;
  TEngineRun& operator=(const TEngineRun&) = delete;

  struct TResult {
    double seconds = 0;
    double written_seconds = 0;  // first byte to the last byte taken by the kernel
    std::map<pid_t, TThreadStats> before, after;
  };

  TResult Round(const std::string& bytes, size_t stanzas) {
    TResult r;
    counter_.Reset(stanzas);
    r.before = SnapshotThreads();
    pusher_.Push(bytes);
    if (!loop_.RunUntil([&] { return counter_.count >= stanzas || disconnected_; }, kTimeout)) {
      Die("engine saw " + std::to_string(counter_.count) + " of " + std::to_string(stanzas) +
          " stanzas\n" + debug_ + pusher_.error());
    }
    if (disconnected_) Die("engine disconnected:\n" + debug_);
    r.after = SnapshotThreads();
    if (counter_.out_of_order) Die("engine delivered stanzas out of order");
    const auto first = pusher_.first_byte();
    r.seconds = Seconds(counter_.last - first);
    r.written_seconds = Seconds(pusher_.written() - first);
    return r;
  }

  pid_t pusher_tid() const { return pusher_.tid(); }

 private:
  TPusher pusher_;
  quillet::platform::SimpleEventLoop loop_;
  quillet::xmpp::TXMPP xmpp_{loop_};
  TCounter counter_;
  std::optional<bool> result_;
  bool disconnected_ = false;
  std::string debug_;
};

class TAnchorSink : public quillet::xml::StreamReader::Sink {
 public:
  explicit TAnchorSink(quillet::xml::TXMLRegistry& r) : registry_(r) {}
  bool OnHeader(const TXMLObject&) override { return true; }
  void OnStanza(std::unique_ptr<TXMLObject> stanza) override { registry_.DispatchXML(*stanza); }

 private:
  quillet::xml::TXMLRegistry& registry_;
};

// The same bytes, parsed and dispatched on this thread in reads of the connection
// thread's buffer size.
double InProcess(const std::string& bytes, size_t stanzas) {
  TCounter counter;
  counter.Reset(stanzas);
  quillet::xml::TXMLRegistry registry;
  registry.RegisterXML("/message/", TXMLHandler::Of<&TCounter::OnMessage>(&counter));
  TAnchorSink sink(registry);
  quillet::xml::StreamReader reader;
  reader.Feed(kServerHeader, sink);
  const auto start = Clock::now();
  std::string_view text(bytes);
  for (size_t at = 0; at < text.size(); at += kAnchorRead) {
    if (reader.Feed(text.substr(at, kAnchorRead), sink) != quillet::xml::StreamReader::Status::Open)
      Die("in-process reader: " + reader.error());
  }
  if (counter.count != stanzas || counter.out_of_order) Die("in-process count is wrong");
  return Seconds(counter.last - start);
}

// The connection thread's hand-over on its own: post one message, sleep on the eventfd
// until the main loop has acknowledged it, post the next.
double HandOver(size_t messages) {
  quillet::platform::SimpleEventLoop loop;
  quillet::platform::WakeFd wake;
  std::atomic<uint64_t> acknowledged{0};
  size_t handled = 0;
  quillet::platform::MessageTarget target(loop, [&](uint32_t, quillet::platform::Payload p) {
    if (p.Get<size_t>()) ++handled;
    acknowledged.fetch_add(1, std::memory_order_release);
    wake.Signal();
  });
  auto poster = target.GetPoster();
  const auto start = Clock::now();
  std::thread sender([&] {
    for (uint64_t posted = 1; posted <= messages; ++posted) {
      poster.Post(1, quillet::platform::Payload::Make<size_t>(size_t(posted)));
      for (;;) {
        wake.Clear();
        if (acknowledged.load(std::memory_order_acquire) == posted) break;
        pollfd p{wake.fd(), POLLIN, 0};
        ::poll(&p, 1, 1000);
      }
    }
  });
  loop.RunUntil([&] { return handled == messages; }, kTimeout);
  const auto end = Clock::now();
  sender.join();
  if (handled != messages) Die("hand-over lost messages");
  return Seconds(end - start);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  double scale = 1.0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--scale" && i + 1 < argc) {
      scale = std::atof(argv[++i]);
      if (!(scale > 0 && scale <= 1)) Die("--scale wants a number in (0, 1]");
    } else {
      Die("usage: stanza_delivery [--rounds N] [--scale F]");
    }
  }
  const size_t stanzas = std::max<size_t>(1, size_t(100000 * scale));
  const std::string bytes = Messages(stanzas);
  const double mb = double(bytes.size()) / 1e6;

  TEngineRun engine;
  const double rss_before = PeakRssMb();
  std::vector<double> engine_s, written_s, inproc_s, handover_s;
  // Per-thread counters summed over the measured rounds: main loop, connection thread.
  TThreadStats main_sum, conn_sum;
  const pid_t main_tid = ::getpid();
  for (int round = 0; round <= rounds; ++round) {
    const double in = InProcess(bytes, stanzas);
    const double ho = HandOver(stanzas);
    const auto r = engine.Round(bytes, stanzas);
    if (round == 0) continue;  // warm-up
    inproc_s.push_back(in);
    handover_s.push_back(ho);
    engine_s.push_back(r.seconds);
    written_s.push_back(r.written_seconds);
    for (const auto& [tid, after] : r.after) {
      auto b = r.before.find(tid);
      if (b == r.before.end() || tid == engine.pusher_tid()) continue;
      TThreadStats& sum = tid == main_tid ? main_sum : conn_sum;
      sum.run_ms += after.run_ms - b->second.run_ms;
      sum.sys_ms += after.sys_ms - b->second.sys_ms;
      sum.queue_ms += after.queue_ms - b->second.queue_ms;
      sum.voluntary += after.voluntary - b->second.voluntary;
      sum.involuntary += after.involuntary - b->second.involuntary;
    }
  }

  const double e = Median(engine_s), in = Median(inproc_s), ho = Median(handover_s);
  std::printf(
      "stanza_delivery: %zu chat messages, %.2f MB (%.0f B each), pushed over loopback TCP in "
      "%zu KiB writes; first byte pushed to the last /message/ handler call; median of %d "
      "rounds after one warm-up; MB = 10^6 B\n\n",
      stanzas, mb, double(bytes.size()) / double(stanzas), kWrite / 1024, rounds);
  std::printf("%-44s %12s %9s %10s %8s\n", "", "stanzas/s", "MB/s", "median ms", "ratio");
  auto row = [&](const char* name, double s) {
    std::printf("%-44s %12.0f %9.1f %10.1f %8.3f\n", name, double(stanzas) / s, mb / s, s * 1e3,
                in / s);
  };
  row("engine: socket, connection thread, loop", e);
  row("anchor: StreamReader + DispatchXML in-process", in);
  std::printf("%-44s %12.0f %9s %10.1f\n", "anchor: hand-over alone (post + eventfd ack)",
              double(stanzas) / ho, "", ho * 1e3);
  std::printf("(ratio: engine's rate over the in-process rate)\n");
  // The connection thread reads and parses ahead of the hand-over; what it has parsed
  // waits in its backlog.
  std::printf(
      "pusher's last byte taken by the kernel after %.1f ms (median); peak RSS %.0f MB before "
      "the rounds, %.0f MB after\n\n",
      Median(written_s) * 1e3, rss_before, PeakRssMb());

  const double n = double(stanzas) * rounds;
  std::printf(
      "per stanza, over the measured rounds (/proc/self/task/*/{schedstat,stat,status}; "
      "sleeps = voluntary context switches, preempted = involuntary):\n");
  std::printf("  %-18s %9s %14s %14s %9s %10s\n", "thread", "CPU us", "of it kernel",
              "run-queue us", "sleeps", "preempted");
  for (auto [name, s] : {std::pair{"main loop", main_sum}, std::pair{"connection", conn_sum}}) {
    std::printf("  %-18s %9.2f %13.0f%% %14.2f %9.3f %10.3f\n", name, s.run_ms * 1e3 / n,
                s.run_ms > 0 ? 100 * s.sys_ms / s.run_ms : 0.0, s.queue_ms * 1e3 / n,
                double(s.voluntary) / n, double(s.involuntary) / n);
  }
  std::printf(
      "  engine wall time per stanza: %.2f us; hand-over alone: %.2f us; in-process: %.2f us\n",
      e * 1e6 / double(stanzas), ho * 1e6 / double(stanzas), in * 1e6 / double(stanzas));
  const bool met = double(stanzas) / e >= 100000;
  std::printf("\ngoal >= 100,000 stanzas/s: %s\n", met ? "met" : "MISSED");
  return 0;
}
