// Helpers shared by the media tests: small real JPEGs, an independent walk
// over a file's marker segments, and the APP1 segments of the VR180 layout
// built by hand (not through the code under test).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mediatest {

using Bytes = std::vector<uint8_t>;

// A w x h colour JPEG: smooth gradients, or noise (which compresses badly,
// for large files).
Bytes makeJpeg(int width, int height, int seed, bool noise = false);

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);

struct Segment {
    uint8_t marker = 0;
    Bytes payload;
};

// The segments between SOI and SOS, and the bytes from SOS on; walked here
// again so that the tests do not take the layout from the code they test.
struct Walk {
    std::vector<Segment> segments;
    Bytes scan;
};
Walk walk(const Bytes& jpeg);
Bytes assemble(const Walk& w);

bool startsWith(const Bytes& payload, std::string_view signature);

// An extended XMP chunk payload.
Bytes chunkPayload(const std::string& guid, uint32_t fullLength, uint32_t offset, std::string_view data);

struct ChunkFields {
    std::string guid;
    uint32_t fullLength = 0, offset = 0;
    std::string data;
};
ChunkFields chunkFields(const Bytes& payload);

// A fresh directory under the system temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes readFile(const std::filesystem::path& path);

// The standard output of a shell command and its exit status.
struct CommandOutput {
    int status = -1;
    std::string out;
};
CommandOutput run(const std::string& command);
bool haveExiftool();
std::string shellQuote(const std::string& s);

}  // namespace mediatest
