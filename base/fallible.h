// How a library call says it failed. Every result that can fail carries the
// reason in `error`, in the words a user is shown (without the file's name
// when the caller knows the file better), and is good exactly when that text
// is empty. A result whose failure means different things to its callers
// keeps a typed code beside the text (alignment's Failure, the input's
// status); a call that cannot fail is not Fallible.
#pragma once

#include <string>

namespace vistereo {

struct Fallible {
    std::string error;  // empty: the call did what it was asked
    bool ok() const { return error.empty(); }
};

}  // namespace vistereo
