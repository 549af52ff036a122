// Libraries opened on first use: a group that opens gives its functions, one
// that cannot gives the loader's reason, in its own words, on load() and on
// every function asked of it.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/shared_libraries.h"

namespace vistereo {
namespace {

using MathFunction = double (*)(double);

// The text a call throws, or "" when it returns.
template <typename Call>
std::string thrown(Call call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(SharedLibrariesTest, AGroupOpensWhollyOrSaysWhichLibraryFailed) {
    const struct {
        const char* label;
        std::initializer_list<const char*> sonames;
        const char* errorMentions;  // "" when the group opens
    } cases[] = {
        {"present libraries", {"libm.so.6", "libc.so.6"}, ""},
        {"a missing one first", {"libvistereo-absent.so.1", "libm.so.6"}, "libvistereo-absent.so.1"},
        {"a missing one last", {"libm.so.6", "libvistereo-absent.so.2"}, "libvistereo-absent.so.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SharedLibraries group("The test's libraries", c.sonames);
        const std::string error = group.load().error;
        if (*c.errorMentions == 0) {
            EXPECT_EQ(error, "");
            const auto cosine = reinterpret_cast<MathFunction>(group.function(0, "cos"));
            EXPECT_EQ(cosine(0.5), std::cos(0.5));
            EXPECT_EQ(thrown([&] { group.function(0, "vistereo_no_such_function"); }),
                      "The test's libraries could not be loaded: libm.so.6 has no function vistereo_no_such_function");
            continue;
        }
        EXPECT_EQ(error.rfind("The test's libraries could not be loaded: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
        // Asked again, and asked for a function, it gives the same reason without trying again.
        EXPECT_EQ(group.load().error, error);
        EXPECT_EQ(thrown([&] { group.function(1, "cos"); }), error);
    }
}

TEST(SharedLibrariesTest, ThreadsAskingAtOnceAllGetTheOneOpening) {
    SharedLibraries group("The test's libraries", {"libm.so.6"});
    std::vector<void*> found(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < found.size(); ++k) threads.emplace_back([&, k] { found[k] = group.function(0, "sin"); });
    for (std::thread& t : threads) t.join();
    for (void* address : found) {
        ASSERT_NE(address, nullptr);
        EXPECT_EQ(address, found[0]);
    }
    EXPECT_EQ(reinterpret_cast<MathFunction>(found[0])(1.0), std::sin(1.0));
}

}  // namespace
}  // namespace vistereo
