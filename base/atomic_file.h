// Whole-file writes that never leave a truncated or half-written target: the
// bytes go to a temporary file in the target's directory, are flushed to disk,
// and the temporary file is renamed over the target.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vistereo {

// Returns true when the target now holds exactly `bytes`. On failure the
// target is unchanged, no temporary file is left, and `error` (if given)
// says what went wrong.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         std::string* error = nullptr);

}  // namespace vistereo
