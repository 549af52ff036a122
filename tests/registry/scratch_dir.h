// Test helpers for files: a fresh directory per test under the system temp
// area (removed afterwards) and a way to make writes fail part-way.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <algorithm>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

namespace vistereo::testing {

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir = std::filesystem::temp_directory_path() /
              ("vistereo_registry_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::string readBytes(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << file;
    }
    // Every entry of the directory, by name.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir;
};

// Lowers the file-size limit for the life of the object, so that a write
// fails part-way (also when the tests run as root).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
    bool active_ = false;
};

}  // namespace vistereo::testing
