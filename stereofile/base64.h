// Base64 with the standard alphabet and '=' padding (RFC 4648, section 4), as
// XMP stores binary values such as GImage:Data.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vistereo::media {

// No line breaks; the length is always a multiple of 4.
std::string base64Encode(std::span<const uint8_t> data);

// Decodes `text`, skipping ASCII white space (space, tab, CR, LF) anywhere, as
// XML writers may wrap long values. Refused (nullopt): any other character
// outside the alphabet, a length (without white space) that is not a
// multiple of 4, '=' anywhere but in the last one or two places.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace vistereo::media
