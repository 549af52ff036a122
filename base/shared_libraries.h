// Shared libraries opened when first needed rather than by the dynamic loader
// at start-up. A program linked to FFmpeg's libraries and OpenCV's image
// codecs pays for loading and relocating them, and the more than two hundred
// libraries they pull in, on every start, even for "--version" or a JPEG
// conversion that uses neither; opened here, only the work that needs them
// pays, once.
//
// A group of libraries opens together, once (whichever thread asks first;
// the others wait for it), and stays open for the life of the process.
#pragma once

#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

class SharedLibraries {
public:
    // `what` names the group in messages ("FFmpeg's libraries"); `sonames`
    // are the files to open ("libavformat.so.59"), found as the dynamic
    // loader finds them.
    SharedLibraries(std::string what, std::initializer_list<const char*> sonames);
    SharedLibraries(const SharedLibraries&) = delete;
    SharedLibraries& operator=(const SharedLibraries&) = delete;

    // Opens the group the first time it is asked; good when every library
    // is open, else the error "<what> could not be loaded: <the loader's
    // reason>".
    const Fallible& load();

    // The address of the function `name` in the group's library `index`
    // (the order of `sonames`), opening the group first. Throws
    // std::runtime_error with load()'s text when the group cannot be opened
    // or the library lacks the function.
    void* function(size_t index, const char* name);

private:
    std::string what_;
    std::vector<std::string> sonames_;
    std::vector<void*> handles_;
    Fallible loaded_;
    std::once_flag once_;
};

}  // namespace vistereo
