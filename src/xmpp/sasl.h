// SASL mechanisms of the login: PLAIN, DIGEST-MD5 and SCRAM-SHA-1/-256.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto.h"

namespace quillet::xmpp {

// Base64 of authzid (user@domain), NUL, user, NUL, password.
std::string PlainCredentials(std::string_view user, std::string_view domain,
                             std::string_view password);

// Directives of a DIGEST-MD5 challenge, in order: name=value or name="value", comma separated.
std::vector<std::pair<std::string, std::string>> ParseDigestDirectives(std::string_view text);
// Value of the first directive whose name matches without regard to case.
std::string DigestDirective(const std::vector<std::pair<std::string, std::string>>& directives,
                            std::string_view name);

struct DigestMD5Params {
  std::string user, realm, password, nonce, cnonce, nc, digest_uri;
};
// The response directive's value: lower-case hex, RFC 2831 with qop=auth and no authzid.
std::string DigestMD5ResponseValue(const DigestMD5Params& p);
// The whole response text sent (base64-encoded) to the server.
std::string DigestMD5Response(const DigestMD5Params& p);
// 32 upper-case hex digits: MD5 of the base64 form of 64 random bytes.
std::string DigestMD5Cnonce();

// One SCRAM exchange (RFC 5802, RFC 7677). The server's signature is checked, so a server
// that does not know the password cannot pretend the login succeeded.
class ScramClient {
 public:
  // An empty cnonce draws a random one.
  ScramClient(platform::Hash hash, std::string user, std::string password, std::string cnonce = {});

  static const char* MechanismName(platform::Hash hash);

  // "n,,n=user,r=cnonce"
  std::string ClientFirst() const;
  // The client-final message for the server-first message; none with `error` set when the
  // server's message is malformed or its nonce does not extend ours.
  std::optional<std::string> ClientFinal(std::string_view server_first, std::string* error);
  // Whether the server-final message carries the signature we expect.
  bool VerifyServerFinal(std::string_view server_final, std::string* error) const;

 private:
  platform::Hash hash_;
  std::string user_, password_, cnonce_;
  std::string client_first_bare_;
  std::string server_signature_;
};

}  // namespace quillet::xmpp
