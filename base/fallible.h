// How a library call says it failed. Every result that can fail carries the
// reason in `error`, in the words a user is shown (without the file's name
// when the caller knows the file better), and is good exactly when that text
// is empty. A result whose failure means different things to its callers
// keeps a typed code beside the text (alignment's Failure, the input's
// status, a conversion step's ConversionStatus); a call that cannot fail is
// not Fallible. A failure always has its text, even where the prescribed
// route shows the user nothing (a lens record with a code no lens has ends a
// conversion silently): the text then serves logs, `--json` and tests, and
// the typed code tells the front end to keep it to itself. No other form
// says "failed": no empty string meaning "no problem", no optional text, no
// bool with a text out-parameter, no exception leaving a .cpp file.
#pragma once

#include <string>

namespace vistereo {

struct Fallible {
    std::string error;  // empty: the call did what it was asked
    bool ok() const { return error.empty(); }
};

}  // namespace vistereo
