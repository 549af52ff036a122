// Which photographs a batch converts and where each result goes: the images
// of a left and a right folder paired in name order, or the lines of a pairs
// file. Each output is named after its left image unless the file names it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"
#include "conversion/photo_pair.h"

namespace vistereo {


// `error`: no pairing could be made, and why.
struct PairingResult : Fallible {
    std::vector<BatchPair> pairs;
};

// The image files of a folder (by extension, case-blind: the formats the
// image library reads; hidden files left out), in byte order of their names.
// A folder that cannot be read gives an error.
struct ImageFileList : Fallible {
    std::vector<std::string> names;
};
ImageFileList listImageFiles(const std::filesystem::path& folder);

// The name of a left image's output: its stem followed by ".jpg", with
// "_180_LR" before the extension when `vrSuffix` is set.
std::string outputNameFor(const std::filesystem::path& leftImage, bool vrSuffix);

// The images of two folders paired in name order, outputs in `outputFolder`.
// Different counts are an error naming the images left without a partner.
PairingResult pairFolders(const std::filesystem::path& leftFolder, const std::filesystem::path& rightFolder,
                          const std::filesystem::path& outputFolder, bool vrSuffix);

// What a pairs file may hold: it is read line by line, so its memory is that
// of one line and of the pairs, whatever the file's size.
struct PairsFileLimits {
    size_t maxLineBytes = 16384;  // room for three names as long as the system allows a path
    size_t maxPairs = 100000;
};

// A pairs file: one pair a line as "left,right" or "left,right,output", the
// images relative to `inputFolder`, the output relative to `outputFolder` (a
// named output gets the suffix too). Blank lines and lines starting with "#"
// are ignored, and so is a first line "left,right[,output]"; a field may be
// put in double quotes (a comma inside, "" for a quote). A malformed line, a
// line longer than the limit and a pair beyond the limit are errors naming
// the file and the line number. Outputs are not compared here: the batch
// checks them, by identity, before it starts.
PairingResult readPairsFile(const std::filesystem::path& file, const std::filesystem::path& inputFolder,
                            const std::filesystem::path& outputFolder, bool vrSuffix,
                            const PairsFileLimits& limits = {});
PairingResult readPairsStream(std::istream& in, const std::string& fileName, const std::filesystem::path& inputFolder,
                              const std::filesystem::path& outputFolder, bool vrSuffix,
                              const PairsFileLimits& limits = {});
PairingResult parsePairsText(std::string_view text, const std::string& fileName,
                             const std::filesystem::path& inputFolder, const std::filesystem::path& outputFolder,
                             bool vrSuffix, const PairsFileLimits& limits = {});

}  // namespace vistereo
