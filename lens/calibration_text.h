// The two text forms calibration tools write, read into one tree of
// mappings, sequences and scalars: the part of YAML that OpenCV's
// FileStorage, ROS camera_info files and Kalibr camchains use, and
// FileStorage's XML. Both readers are strict and small: what a calibration
// file does not need (anchors, block scalars, several documents, XML
// entities beyond the five named ones) is refused with the line it is on,
// never guessed at. Neither knows what the tree means (lens/calibration_file.h).
//
// YAML: block mappings and block sequences by indentation ("key:" with its
// value on the same line or the lines below, "- item"), flow sequences and
// mappings ("[1, 2, 3]", "{a: 1}", over several lines too), plain and quoted
// scalars, tags ("!!opencv-matrix", kept), comments, "%YAML" directives and
// one "---".
//
// XML: <opencv_storage> and its elements; an element holding elements is a
// mapping by their names, or a sequence when they are all "_"; one holding
// text is a scalar, or a sequence of the words of its text (FileStorage
// writes a matrix's data so); type_id is kept as the tag.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo {

struct CalibrationNode {
    enum class Kind { Scalar, Sequence, Mapping };
    Kind kind = Kind::Scalar;
    std::string text;  // a scalar's text, unquoted
    bool quoted = false;
    std::string tag;  // "!!opencv-matrix", or an XML element's type_id
    int line = 0;     // where the node starts, 1-based
    std::string key;  // a mapping entry's key
    std::vector<CalibrationNode> items;    // a sequence's
    std::vector<CalibrationNode> entries;  // a mapping's, each with its key, in the file's order

    // A mapping's entry of that key (nullptr when there is none, or this is no mapping).
    const CalibrationNode* find(std::string_view key) const;
};

// `error`: "line 12: ..." (what is wrong there), without the file's name.
struct CalibrationText : Fallible {
    CalibrationNode root;
};

// Limits no calibration comes near, so that no input runs away with the
// machine: nesting depth and the number of nodes.
inline constexpr int kMaxCalibrationDepth = 32;
inline constexpr size_t kMaxCalibrationNodes = 100000;

CalibrationText readCalibrationYaml(std::string_view text);
CalibrationText readCalibrationXml(std::string_view text);

}  // namespace vistereo
