// Narrow text at the file boundary: UTF-8 is the encoding we write; text that
// is not valid UTF-8 is taken as Shift-JIS (CP932) and converted to UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vistereo {

bool isValidUtf8(std::string_view text);

// Returns text unchanged when it is valid UTF-8, else its CP932 reading in
// UTF-8 (bytes CP932 cannot decode become U+FFFD).
std::string fileTextToUtf8(std::string_view text);

// The CP932 (Shift-JIS) reading of `text` in UTF-8, whatever the bytes are;
// bytes CP932 cannot decode become U+FFFD.
std::string cp932ToUtf8(std::string_view text);

// Valid UTF-8 unchanged; every byte that does not begin or continue a valid
// sequence becomes U+FFFD. What we write is always valid UTF-8, so a file of
// ours is never mistaken for Shift-JIS.
std::string toValidUtf8(std::string_view text);

}  // namespace vistereo
