// The simple properties of an XMP packet: what the top-level rdf:Description
// elements hold as attributes (GPano:ProjectionType="equirectangular") or as
// child elements with text only (<GPano:ProjectionType>equirectangular</...>),
// each named by its namespace URI and local name, so any prefix works.
// Structures, arrays and qualifiers are passed over.
//
// A small non-validating XML reader for this alone: the five predefined
// entities and character references are decoded, CDATA is text, comments and
// processing instructions are skipped; a DOCTYPE is refused (XMP has none),
// so no entity can expand. Linear in the input, nesting limited to 512.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/fallible.h"

namespace vistereo::media {

inline constexpr std::string_view kRdfNamespace = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";

struct XmpProperty {
    std::string ns;     // namespace URI
    std::string name;   // local name
    std::string value;  // decoded text
};

// `error`: why the XML could not be read.
struct XmpProperties : Fallible {
    std::vector<XmpProperty> properties;

    // The first property with this namespace and name, or nullptr.
    const std::string* find(std::string_view ns, std::string_view name) const;
};

XmpProperties readXmpProperties(std::string_view xml);

// Text for an XML attribute value in double quotes: & < > " and the control
// characters tab, LF, CR escaped.
std::string escapeXmlAttribute(std::string_view text);

}  // namespace vistereo::media
