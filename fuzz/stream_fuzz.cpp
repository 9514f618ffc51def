// Arbitrary bytes, cut into arbitrary reads, through the completeness test and the parser
// into a stream root. However the bytes are cut, a stream that parses yields the same
// stanzas as when it arrives in one read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "xml/parser.h"

namespace {

using quillet::xml::StreamReader;
using quillet::xml::TXMLObject;

struct Sink : StreamReader::Sink {
  bool OnHeader(const TXMLObject& root) override { return root.GetAttribute("reject").empty(); }
  void OnStanza(std::unique_ptr<TXMLObject> s) override { stanzas.push_back(s->GetXML()); }
  std::vector<std::string> stanzas;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first bytes choose the read sizes, the rest is the stream.
  FuzzedDataProvider fdp(data, size);
  std::vector<size_t> cuts(fdp.ConsumeIntegralInRange<size_t>(1, 16));
  for (auto& c : cuts) c = fdp.ConsumeIntegralInRange<size_t>(1, 64);
  std::string stream = fdp.ConsumeRemainingBytesAsString();

  Sink whole;
  StreamReader one;
  one.Feed(stream, whole);

  Sink parts;
  StreamReader many;
  for (size_t pos = 0, i = 0; pos < stream.size(); ++i) {
    size_t n = cuts[i % cuts.size()];
    many.Feed(std::string_view(stream).substr(pos, n), parts);
    pos += n;
  }

  if (one.status() != StreamReader::Status::Failed &&
      many.status() != StreamReader::Status::Failed && whole.stanzas != parts.stanzas) {
    std::fprintf(stderr, "stanzas differ with the reads cut differently\n");
    std::abort();
  }
  return 0;
}
