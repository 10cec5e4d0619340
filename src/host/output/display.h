#pragma once
// Stored texts and values as every renderer shows them: catalogue keys become their full texts,
// numbers take their display format, and a terminal gets control characters as visible escapes.
#include <string>
#include <string_view>

#include "host/output/document.h"

namespace qv::out {

// A stored text as shown: catalogue keys become their full texts; a text marked as the user's
// own is shown as it stands.
std::string displayText(const std::string& s);

// Text for a terminal: control characters (line breaks, tabs, escape sequences) written as
// C-style escapes, so that a label cannot break the frame of a table or drive the terminal.
std::string visibleText(std::string_view s);

// Display width in terminal columns: one per code point (continuation bytes do not count).
size_t displayWidth(std::string_view s);

// Text of a value as displayed (also the "text" field of JSON cells): numbers in their format
// with the given decimal character (blank for the system-missing value, NaN and infinities),
// strings as they stand except that a catalogue key shows its full text.
std::string formatValue(const Value& v, char decimal);
inline std::string formatValue(const Value& v) { return formatValue(v, '.'); }

}  // namespace qv::out
