// Hashes, HMAC, PBKDF2, Base64 and random bytes, on OpenSSL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::platform {

enum class Hash { kMD5, kSHA1, kSHA256 };

// Raw digest bytes.
std::string Digest(Hash hash, std::string_view data);
std::string Hmac(Hash hash, std::string_view key, std::string_view data);
std::string Pbkdf2(Hash hash, std::string_view password, std::string_view salt,
                   uint32_t iterations);

// Hexadecimal form of raw bytes.
std::string ToHex(std::string_view bytes, bool upper = false);
// SHA-1 as 40 lower-case hexadecimal digits (avatar, file and emoticon hashes).
std::string Sha1Hex(std::string_view data);

// Standard alphabet with padding. `line_length` > 0 puts a CRLF after every that many characters.
std::string Base64Encode(std::string_view bytes, size_t line_length = 0);
// Ignores whitespace; none on malformed input.
std::optional<std::string> Base64Decode(std::string_view text);

// Bytes from the operating system's random source.
std::string RandomBytes(size_t count);

}  // namespace quillet::platform
