// Runs the real quillet-cli binary.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace {

struct CliResult {
  int status;
  std::string out;
};

// Runs quillet-cli with `args`; `input`, when given, is its standard input.
CliResult Cli(const std::string& args, const std::string& input = {}) {
  std::string in_file;
  if (!input.empty()) {
    in_file = testing::TempDir() + "cli_input.xml";
    FILE* f = fopen(in_file.c_str(), "wb");
    if (!f) return {-1, {}};
    fwrite(input.data(), 1, input.size(), f);
    fclose(f);
  }
  std::string cmd = std::string(QUILLET_CLI) + " " + args + " 2>/dev/null";
  if (!in_file.empty()) cmd += " < " + in_file;
  FILE* p = popen(cmd.c_str(), "r");
  CliResult r{-1, {}};
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(CliParse, PrintsOneJsonLinePerStanza) {
  CliResult r = Cli("parse " QUILLET_FIXTURES "/streams/sample.xml");
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> lines;
  for (size_t start = 0, nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(r.out.substr(start, nl - start));
  }
  ASSERT_EQ(lines.size(), 9u);  // header, seven stanzas, end
  EXPECT_TRUE(lines[0].starts_with(
      "{\"event\":\"stream\",\"name\":\"stream:stream\",\"attributes\":{\"xmlns\":\"jabber:client\""));
  EXPECT_EQ(lines[0].find("children"), std::string::npos);
  EXPECT_NE(lines[3].find("\"name\":\"Bob &amp; Co\""), std::string::npos);
  EXPECT_NE(lines[4].find("\"text\":\"Back at 5 > later\""), std::string::npos);
  EXPECT_NE(lines[5].find("\"text\":\"Hi Alice <3 \xE2\x98\x83 \xF0\x9F\x98\x80\""),
            std::string::npos);
  EXPECT_NE(lines[5].find("\"text\":\"<span style='font-weight: bold'>Hi Alice</span> &lt;3\""),
            std::string::npos);
  EXPECT_EQ(lines[8], "{\"event\":\"stream-end\"}");
}

TEST(CliParse, StandardInputAndErrors) {
  CliResult ok = Cli("parse -", "<stream:stream><m a='\"q\"'>x\\y\001</m>");
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("{\"event\":\"stanza\",\"name\":\"m\",\"attributes\":{\"a\":\"\\\"q\\\"\"},"
                        "\"text\":\"x\\\\y\\u0001\""),
            std::string::npos)
      << ok.out;
  EXPECT_EQ(Cli("parse /nonexistent/file").status, 1);
  EXPECT_EQ(Cli("parse -", "<stream:stream><a></b>").status, 1);
  EXPECT_EQ(Cli("parse -", "no xml here").status, 1);
  EXPECT_EQ(Cli("frobnicate").status, 1);
  EXPECT_EQ(Cli("").status, 2);
}

}  // namespace
