#pragma once
// Renderers of the output document, each a function from a Document to bytes. They share the
// number formats (number_format.h), the display of stored texts (display.h) and the neutral
// table layout (table_layout.h); a new format is one more function here and one file beside
// text_render.cpp, json_render.cpp and html.cpp.
#include <string>

#include "host/output/display.h"
#include "host/output/document.h"
#include "host/output/table_layout.h"

namespace qv::out {

// Text for people at a terminal: boxed tables, nested column groups, footnotes under tables.
std::string renderText(const Document& doc);
// The JSON contract ("format": "quorvest-output", "version": 1).
std::string renderJson(const Document& doc);

// HTML: one self-contained page with a table of contents, the tables, messages and charts.
std::string renderHtml(const Document& doc);

}  // namespace qv::out
