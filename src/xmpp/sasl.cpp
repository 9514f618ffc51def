#include "xmpp/sasl.h"

#include <charconv>

#include "xml/xmlobject.h"

namespace quillet::xmpp {

using platform::Base64Decode;
using platform::Base64Encode;
using platform::Digest;
using platform::Hash;
using platform::Hmac;
using platform::ToHex;

std::string PlainCredentials(std::string_view user, std::string_view domain,
                             std::string_view password) {
  std::string raw;
  raw.append(user).append("@").append(domain);
  raw += '\0';
  raw.append(user);
  raw += '\0';
  raw.append(password);
  return Base64Encode(raw);
}

std::vector<std::pair<std::string, std::string>> ParseDigestDirectives(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  auto trim = [](std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) < 33) s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) < 33) s.remove_suffix(1);
    return std::string(s);
  };
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = i;
    while (eq < text.size() && text[eq] != '=' && text[eq] != ',') ++eq;
    std::string name = trim(text.substr(i, eq - i));
    if (eq >= text.size() || text[eq] == ',') {
      if (!name.empty()) out.emplace_back(std::move(name), std::string());
      i = eq + 1;
      continue;
    }
    size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    if (v < text.size() && text[v] == '"') {
      // Quoted: up to the closing quote; a backslash escapes the next character.
      size_t k = v + 1;
      for (; k < text.size() && text[k] != '"'; ++k) {
        if (text[k] == '\\' && k + 1 < text.size()) ++k;
        value += text[k];
      }
      i = k + 1;
      while (i < text.size() && text[i] != ',') ++i;
    } else {
      size_t k = v;
      while (k < text.size() && text[k] != ',') ++k;
      value = trim(text.substr(v, k - v));
      i = k;
    }
    ++i;
    out.emplace_back(std::move(name), std::move(value));
  }
  return out;
}

std::string DigestDirective(const std::vector<std::pair<std::string, std::string>>& directives,
                            std::string_view name) {
  for (const auto& [n, v] : directives) {
    if (xml::EqualsIgnoreCase(n, name)) return v;
  }
  return {};
}

std::string DigestMD5ResponseValue(const DigestMD5Params& p) {
  std::string a1 = Digest(Hash::kMD5, p.user + ":" + p.realm + ":" + p.password);
  a1 += ":" + p.nonce + ":" + p.cnonce;
  std::string ha1 = ToHex(Digest(Hash::kMD5, a1));
  std::string ha2 = ToHex(Digest(Hash::kMD5, "AUTHENTICATE:" + p.digest_uri));
  return ToHex(
      Digest(Hash::kMD5, ha1 + ":" + p.nonce + ":" + p.nc + ":" + p.cnonce + ":auth:" + ha2));
}

std::string DigestMD5Response(const DigestMD5Params& p) {
  return "username=\"" + p.user + "\",realm=\"" + p.realm + "\",nonce=\"" + p.nonce +
         "\",cnonce=\"" + p.cnonce + "\",nc=\"" + p.nc + "\",qop=\"auth\",digest-uri=\"" +
         p.digest_uri + "\",charset=\"utf-8\",response=" + DigestMD5ResponseValue(p);
}

std::string DigestMD5Cnonce() {
  return ToHex(Digest(Hash::kMD5, Base64Encode(platform::RandomBytes(64))), true);
}

// ---- SCRAM ----

namespace {

// Attribute `key` of a SCRAM message ("r=...,s=...,i=...").
std::optional<std::string_view> ScramAttribute(std::string_view msg, char key) {
  size_t i = 0;
  while (i < msg.size()) {
    size_t end = msg.find(',', i);
    if (end == std::string_view::npos) end = msg.size();
    std::string_view part = msg.substr(i, end - i);
    if (part.size() >= 2 && part[0] == key && part[1] == '=') return part.substr(2);
    i = end + 1;
  }
  return std::nullopt;
}

std::string SaslName(std::string_view user) {
  std::string out;
  for (char c : user) {
    if (c == '=') {
      out += "=3D";
    } else if (c == ',') {
      out += "=2C";
    } else {
      out += c;
    }
  }
  return out;
}

// Above this the server is asking for an unreasonable amount of work from us.
constexpr uint32_t kMaxIterations = 1'000'000;

}  // namespace

ScramClient::ScramClient(Hash hash, std::string user, std::string password, std::string cnonce)
    : hash_(hash),
      user_(std::move(user)),
      password_(std::move(password)),
      cnonce_(std::move(cnonce)) {
  if (cnonce_.empty()) cnonce_ = ToHex(platform::RandomBytes(18));
  client_first_bare_ = "n=" + SaslName(user_) + ",r=" + cnonce_;
}

const char* ScramClient::MechanismName(Hash hash) {
  return hash == Hash::kSHA256 ? "SCRAM-SHA-256" : "SCRAM-SHA-1";
}

std::string ScramClient::ClientFirst() const {
  return "n,," + client_first_bare_;
}

std::optional<std::string> ScramClient::ClientFinal(std::string_view server_first,
                                                    std::string* error) {
  auto fail = [&](const char* why) -> std::optional<std::string> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (ScramAttribute(server_first, 'm')) return fail("server asks for an unknown SCRAM extension");
  auto nonce = ScramAttribute(server_first, 'r');
  auto salt64 = ScramAttribute(server_first, 's');
  auto iter = ScramAttribute(server_first, 'i');
  if (!nonce || !salt64 || !iter) return fail("malformed SCRAM challenge");
  if (!nonce->starts_with(cnonce_) || nonce->size() == cnonce_.size()) {
    return fail("SCRAM nonce does not extend ours");
  }
  auto salt = Base64Decode(*salt64);
  uint32_t iterations = 0;
  auto [end, ec] = std::from_chars(iter->data(), iter->data() + iter->size(), iterations);
  if (!salt || ec != std::errc() || end != iter->data() + iter->size() || iterations == 0 ||
      iterations > kMaxIterations) {
    return fail("malformed SCRAM challenge");
  }

  std::string without_proof = "c=biws,r=" + std::string(*nonce);
  std::string auth_message =
      client_first_bare_ + "," + std::string(server_first) + "," + without_proof;
  std::string salted = platform::Pbkdf2(hash_, password_, *salt, iterations);
  std::string client_key = Hmac(hash_, salted, "Client Key");
  std::string stored_key = Digest(hash_, client_key);
  std::string signature = Hmac(hash_, stored_key, auth_message);
  std::string proof = client_key;
  for (size_t i = 0; i < proof.size(); ++i) proof[i] = char(proof[i] ^ signature[i]);
  server_signature_ = Hmac(hash_, Hmac(hash_, salted, "Server Key"), auth_message);
  return without_proof + ",p=" + Base64Encode(proof);
}

bool ScramClient::VerifyServerFinal(std::string_view server_final, std::string* error) const {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (auto e = ScramAttribute(server_final, 'e')) return fail("server reports " + std::string(*e));
  auto v = ScramAttribute(server_final, 'v');
  if (!v) return fail("server sent no signature");
  auto sig = Base64Decode(*v);
  if (server_signature_.empty() || !sig || *sig != server_signature_) {
    return fail("server signature does not match: the server does not know the password");
  }
  return true;
}

}  // namespace quillet::xmpp
