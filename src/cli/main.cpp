// quillet-cli: the engine from the command line. One JSON object per line on stdout,
// human messages on stderr, exit status 0 on success.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli/json.h"
#include "xml/parser.h"

namespace {

using quillet::xml::StreamReader;
using quillet::xml::TXMLObject;

const char kUsage[] =
    "usage: quillet-cli COMMAND [ARGS]\n"
    "commands:\n"
    "  parse FILE   read a captured inbound XMPP stream (- for standard input) and print\n"
    "               the stream header and every stanza as one JSON line each\n";

int Fail(const std::string& reason) {
  std::fprintf(stderr, "quillet-cli: %s\n", reason.c_str());
  return 1;
}

class JsonLines : public StreamReader::Sink {
 public:
  bool OnHeader(const TXMLObject& root) override {
    Print("stream", root, false);
    return true;
  }
  void OnStanza(std::unique_ptr<TXMLObject> stanza) override { Print("stanza", *stanza, true); }

 private:
  // The header is printed without content: the stanzas that came with it follow.
  void Print(const char* event, const TXMLObject& e, bool content) {
    line_.assign("{\"event\":\"");
    line_ += event;
    line_ += "\",";
    quillet::cli::AppendElementFields(line_, e, content);
    line_ += "}\n";
    std::fwrite(line_.data(), 1, line_.size(), stdout);
  }
  std::string line_;
};

int Parse(const std::string& file) {
  std::ifstream in_file;
  std::istream* in = &std::cin;
  if (file != "-") {
    in_file.open(file, std::ios::binary);
    if (!in_file) return Fail("cannot open " + file + ": " + std::strerror(errno));
    in = &in_file;
  }
  StreamReader reader;
  JsonLines sink;
  // Reads of a socket's size, so the file takes the same path as live traffic.
  std::vector<char> buf(16 * 1024);
  while (reader.status() == StreamReader::Status::Open) {
    in->read(buf.data(), std::streamsize(buf.size()));
    std::streamsize got = in->gcount();
    if (got <= 0) break;
    reader.Feed(std::string_view(buf.data(), size_t(got)), sink);
  }
  std::fflush(stdout);
  switch (reader.status()) {
    case StreamReader::Status::Failed:
      return Fail("stream error: " + reader.error());
    case StreamReader::Status::Ended:
      std::fputs("{\"event\":\"stream-end\"}\n", stdout);
      return 0;
    case StreamReader::Status::Open:
      if (!reader.root()) return Fail("no stream header in " + file);
      if (!reader.scanner().Pending().empty()) {
        std::fprintf(stderr, "quillet-cli: %zu bytes of an unfinished stanza at the end\n",
                     reader.scanner().Pending().size());
      }
      return 0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "parse") {
    if (args.size() != 2) return Fail("parse takes one FILE");
    return Parse(args[1]);
  }
  std::fputs(kUsage, stderr);
  return Fail("unknown command: " + args[0]);
}
