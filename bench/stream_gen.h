// Synthetic inbound XMPP streams for the benchmarks. Deterministic: the same bytes on
// every run and machine (own PRNG, no standard distributions, no files).
#pragma once

#include <cstddef>
#include <string>

namespace quillet::bench {

struct TStream {
  std::string text;
  // Stanzas below the stream root, stream features included.
  size_t stanzas = 0;
};

struct TSessionShape {
  size_t roster_items = 5000;
  size_t presences = 5000;
  size_t messages = 20000;
  size_t vcards = 4;
  size_t vcard_photo_bytes = 20 * 1024;
};

// A session as a busy account sees it after login: features, bind, roster, the presence
// burst, offline messages, then chat traffic with presence changes, vCards and iqs.
TStream GenerateSessionStream(const TSessionShape& shape = {});

// Stream header, one vCard result whose BINVAL holds `photo_bytes` of base64, stream end.
TStream GenerateBigVCardStream(size_t photo_bytes);

}  // namespace quillet::bench
