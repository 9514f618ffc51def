// quillet-cli parse: a captured stream as JSON lines.
#include "cli_run.h"

namespace quillet::cli {
namespace {

TEST(CliParse, PrintsOneJsonLinePerStanza) {
  CliResult r = Cli("parse " QUILLET_FIXTURES "/streams/sample.xml");
  ASSERT_EQ(r.status, 0);
  const auto& lines = r.lines;
  ASSERT_EQ(lines.size(), 9u);  // header, seven stanzas, end
  EXPECT_TRUE(
      lines[0].starts_with("{\"event\":\"stream\",\"name\":\"stream:stream\",\"attributes\":{"
                           "\"xmlns\":\"jabber:client\""));
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
}  // namespace quillet::cli
