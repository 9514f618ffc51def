#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace quillet::platform {

namespace {

const EVP_MD* Md(Hash hash) {
  switch (hash) {
    case Hash::kMD5:
      return EVP_md5();
    case Hash::kSHA1:
      return EVP_sha1();
    case Hash::kSHA256:
      return EVP_sha256();
  }
  return EVP_sha256();
}

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string Digest(Hash hash, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!EVP_Digest(data.data(), data.size(), out, &len, Md(hash), nullptr)) {
    throw std::runtime_error("digest failed");
  }
  return std::string(reinterpret_cast<char*>(out), len);
}

std::string Hmac(Hash hash, std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(Md(hash), key.data(), int(key.size()), Bytes(data), data.size(), out, &len)) {
    throw std::runtime_error("hmac failed");
  }
  return std::string(reinterpret_cast<char*>(out), len);
}

std::string Pbkdf2(Hash hash, std::string_view password, std::string_view salt,
                   uint32_t iterations) {
  std::string out(size_t(EVP_MD_get_size(Md(hash))), '\0');
  if (!PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), Bytes(salt), int(salt.size()),
                         int(iterations), Md(hash), int(out.size()),
                         reinterpret_cast<unsigned char*>(out.data()))) {
    throw std::runtime_error("pbkdf2 failed");
  }
  return out;
}

std::string ToHex(std::string_view bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Sha1Hex(std::string_view data) {
  return ToHex(Digest(Hash::kSHA1, data));
}

std::string Base64Encode(std::string_view bytes, size_t line_length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4 + 8);
  size_t column = 0;
  auto put = [&](char c) {
    if (line_length && column == line_length) {
      out += "\r\n";
      column = 0;
    }
    out += c;
    ++column;
  };
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t acc = 0;
  int bits = 0, pad = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    int v = value(c);
    if (v < 0 || pad) return std::nullopt;  // nothing may follow the padding
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((acc >> bits) & 0xFF);
    }
  }
  if (pad > 2 || (bits >= 6)) return std::nullopt;
  return out;
}

std::string RandomBytes(size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), int(count)) != 1) {
    throw std::runtime_error("no random bytes");
  }
  return out;
}

}  // namespace quillet::platform
