#include "xmpp/sasl.h"

#include <gtest/gtest.h>

namespace quillet::xmpp {
namespace {

using platform::Base64Decode;
using platform::Hash;

TEST(Sasl, PlainCredentials) {
  EXPECT_EQ(*Base64Decode(PlainCredentials("juliet", "example.com", "r0m30")),
            std::string("juliet@example.com\0juliet\0r0m30", 31));
  // An empty password leaves the zero byte after the user part last.
  EXPECT_EQ(*Base64Decode(PlainCredentials("u", "d", "")), std::string("u@d\0u\0", 6));
}

TEST(Sasl, DigestDirectives) {
  auto d = ParseDigestDirectives(
      "realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\",qop=\"auth\",algorithm=md5-sess,"
      "charset=utf-8");
  EXPECT_EQ(DigestDirective(d, "REALM"), "elwood.innosoft.com");
  EXPECT_EQ(DigestDirective(d, "algorithm"), "md5-sess");
  EXPECT_EQ(DigestDirective(d, "charset"), "utf-8");
  // The last directive counts too, quoted commas stay in the value.
  auto last = ParseDigestDirectives(" realm=\"a,b\" , nonce=\"xyz\"");
  EXPECT_EQ(DigestDirective(last, "realm"), "a,b");
  EXPECT_EQ(DigestDirective(last, "nonce"), "xyz");
  EXPECT_EQ(DigestDirective(ParseDigestDirectives("nonce=abc"), "nonce"), "abc");
}

TEST(Sasl, DigestMD5Rfc2831Example) {
  DigestMD5Params p{
      "chris",    "elwood.innosoft.com",     "secret", "OA6MG9tEQGm2hh", "OA6MHXh6VqTrRk",
      "00000001", "imap/elwood.innosoft.com"};
  EXPECT_EQ(DigestMD5ResponseValue(p), "d388dad90d4bbd760a152321f2143af7");
  EXPECT_EQ(DigestMD5Response(p),
            "username=\"chris\",realm=\"elwood.innosoft.com\",nonce=\"OA6MG9tEQGm2hh\","
            "cnonce=\"OA6MHXh6VqTrRk\",nc=\"00000001\",qop=\"auth\",digest-uri=\"imap/"
            "elwood.innosoft.com\",charset=\"utf-8\",response=d388dad90d4bbd760a152321f2143af7");
  std::string c = DigestMD5Cnonce();
  EXPECT_EQ(c.size(), 32u);
  EXPECT_EQ(c.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(c, DigestMD5Cnonce());
}

struct ScramVector {
  Hash hash;
  const char* cnonce;
  const char* server_first;
  const char* client_final;
  const char* server_final;
};

TEST(Sasl, ScramRfcVectors) {
  const ScramVector vectors[] = {
      {Hash::kSHA1, "fyko+d2lbbFgONRv9qkxdawL",
       "r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,s=QSXCR+Q6sek8bf92,i=4096",
       "c=biws,r=fyko+d2lbbFgONRv9qkxdawL3rfcNHYJY1ZVvWVs7j,p=v0X8v3Bz2T0CJGbJQyF0X+HI4Ts=",
       "v=rmF9pqV8S7suAoZWja4dJRkFsKQ="},
      {Hash::kSHA256, "rOprNGfwEbeRWgbNEkqO",
       "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
       "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
       "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
       "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="},
  };
  for (const auto& v : vectors) {
    ScramClient c(v.hash, "user", "pencil", v.cnonce);
    EXPECT_EQ(c.ClientFirst(), std::string("n,,n=user,r=") + v.cnonce);
    std::string error;
    auto final_msg = c.ClientFinal(v.server_first, &error);
    ASSERT_TRUE(final_msg) << error;
    EXPECT_EQ(*final_msg, v.client_final);
    EXPECT_TRUE(c.VerifyServerFinal(v.server_final, &error)) << error;
    EXPECT_FALSE(c.VerifyServerFinal("v=AAAAAAAAAAAAAAAAAAAAAAAAAAA=", &error));
    EXPECT_FALSE(c.VerifyServerFinal("e=invalid-proof", &error));
    EXPECT_EQ(error, "server reports invalid-proof");
  }
}

TEST(Sasl, ScramRefusesBadChallenges) {
  const char* bad[] = {
      "r=othernonce123,s=QSXCR+Q6sek8bf92,i=4096",  // does not extend our nonce
      "r=abc,s=QSXCR+Q6sek8bf92,i=4096",            // only our nonce
      "r=abcdef,s=QSXCR+Q6sek8bf92",                // no iteration count
      "r=abcdef,s=!!!,i=4096",                      // salt not base64
      "r=abcdef,s=QSXCR+Q6sek8bf92,i=0",
      "r=abcdef,s=QSXCR+Q6sek8bf92,i=99999999",
      "m=ext,r=abcdef,s=QSXCR+Q6sek8bf92,i=4096",
  };
  for (const char* sf : bad) {
    ScramClient c(Hash::kSHA1, "user", "pencil", "abc");
    std::string error;
    EXPECT_FALSE(c.ClientFinal(sf, &error)) << sf;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(c.VerifyServerFinal("v=rmF9pqV8S7suAoZWja4dJRkFsKQ=", &error));
  }
  // Names with ',' and '=' are escaped.
  EXPECT_EQ(ScramClient(Hash::kSHA1, "a,b=c", "p", "n").ClientFirst(), "n,,n=a=2Cb=3Dc,r=n");
}

}  // namespace
}  // namespace quillet::xmpp
