#pragma once
// The message and label catalogue: the short key of every numbered message of the procedure,
// and the full English text that the host shows for a key.
#include <string>
#include <vector>

namespace qv {

struct MessageDef {
  int number;
  const char* key;  // short key ending in "..." ("Empty subcommand ^1 ...")
  bool hasParam;    // the key takes the current symbol as ^1
};

// Key of a numbered message; "Undefined message ..." outside the table.
const MessageDef& messageDef(int number);

// Full text for a key (with "^1", "^2" still unexpanded). Keys without a catalogue entry
// come back as the key itself with its trailing " ..." removed.
std::string catalogueText(const std::string& key);

// Expands "^1", "^2", ... in a template with the given arguments, and bracketed repeat lists
// "[:^1=^2:]1" / "[%1:, ^1:]1" with a list of argument tuples. See composite.h for the forms.
std::string expandTemplate(const std::string& tmpl, const std::vector<std::string>& args);

}  // namespace qv
