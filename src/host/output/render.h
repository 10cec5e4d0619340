#pragma once
// Renderers of the output document.
#include <string>

#include "host/output/document.h"

namespace qv::out {

// Text for people at a terminal: boxed tables, nested column groups, footnotes under tables.
std::string renderText(const Document& doc);
// The JSON contract ("format": "quorvest-output", "version": 1).
std::string renderJson(const Document& doc);

// Text of a value as displayed (also the "text" field of JSON cells): numbers in their format
// (blank for the system-missing value, NaN and infinities), strings as they stand except that
// a catalogue key shows its full text.
std::string formatValue(const Value& v);

}  // namespace qv::out
