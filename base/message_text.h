// File names in messages. A name can be as long as the file system allows,
// or longer when it comes from a hand-made list; a message shows it whole
// only while it stays readable on one line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vistereo {

inline constexpr size_t kMessageNameBytes = 160;

// `name` itself when it has at most `maxBytes` bytes; otherwise its start and
// its end (where the file name and its extension are) joined by "…", the cut
// falling between whole UTF-8 characters, at most `maxBytes` bytes in all.
std::string shortenForMessage(std::string_view name, size_t maxBytes = kMessageNameBytes);

// The length of the whole UTF-8 character `text` starts with (no overlong
// forms, no surrogates, at most U+10FFFF), or 0 when it starts with none.
size_t utf8SequenceLength(std::string_view text);

// `text` with what would break or hide a line of a message made visible:
// line ends, tabs and other control characters as \n, \r, \t or \xHH, and
// bytes that are not UTF-8 as \xHH; a backslash stays as it is. The rest,
// UTF-8 letters of any language included, is unchanged.
std::string visibleText(std::string_view text);

}  // namespace vistereo
