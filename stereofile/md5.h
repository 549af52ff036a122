// MD5 message digest (RFC 1321). Used for the GUID of an extended XMP packet,
// which Adobe's XMP rules define as the packet's MD5 in upper-case hex;
// not for anything that needs a secure hash.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vistereo::media {

std::array<uint8_t, 16> md5(std::span<const uint8_t> data);

// The digest as 32 hexadecimal digits, upper case ("D41D8CD98F00B204E9800998ECF8427E" for no bytes).
std::string md5HexUpper(std::span<const uint8_t> data);
std::string md5HexUpper(std::string_view text);

}  // namespace vistereo::media
