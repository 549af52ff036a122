#include "base/shared_libraries.h"

#include <dlfcn.h>

#include <stdexcept>

namespace vistereo {

SharedLibraries::SharedLibraries(std::string what, std::initializer_list<const char*> sonames)
    : what_(std::move(what)), sonames_(sonames.begin(), sonames.end()) {}

const Fallible& SharedLibraries::load() {
    std::call_once(once_, [this] {
        std::vector<void*> handles;
        for (const std::string& soname : sonames_) {
            // RTLD_LOCAL: the libraries' names stay out of the global scope,
            // so that they cannot stand in for the program's own.
            void* handle = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* reason = dlerror();
                loaded_.error = what_ + " could not be loaded: " + (reason ? reason : soname + " was not found");
                // Those already opened stay open, unused: unloading a library
                // whose initialisers have run can strand what they allocated,
                // and the group is never opened again.
                return;
            }
            handles.push_back(handle);
        }
        handles_ = std::move(handles);
    });
    return loaded_;
}

void* SharedLibraries::function(size_t index, const char* name) {
    if (const Fallible& loaded = load(); !loaded.ok()) throw std::runtime_error(loaded.error);
    void* address = index < handles_.size() ? dlsym(handles_[index], name) : nullptr;
    if (!address)
        throw std::runtime_error(what_ + " could not be loaded: " + (index < sonames_.size() ? sonames_[index] : what_) +
                                 " has no function " + name);
    return address;
}

}  // namespace vistereo
