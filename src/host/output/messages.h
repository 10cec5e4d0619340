#pragma once
// The message and label catalogue: the short key of every numbered message of the procedure,
// the full English text that the host shows for a key, and the composite-string templates
// ("^1", "^2" arguments and bracketed repeat lists) in which texts are written.
#include <map>
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

// Full text for a key (with "^1", "^2" and repeat lists still unexpanded). Keys without a
// catalogue entry come back as the key itself with its trailing " ..." removed.
std::string catalogueText(const std::string& key);
// True when the catalogue holds a full text for the key.
bool catalogueHas(const std::string& key);
// True when a text is a catalogue key: it ends in "..." (with or without a blank before).
bool isCatalogueKey(const std::string& text);

// A text from the user (a label) is shown as it stands, never translated. One that happens to
// read as a catalogue key is stored with this invisible end mark, which the renderers drop.
inline constexpr char kUserTextMark = '\x1f';
inline std::string userText(std::string text) {
  if (isCatalogueKey(text) && catalogueHas(text)) text += kUserTextMark;
  return text;
}

// Expands "^1" ... "^9" in a template with the given arguments (args[0] is ^1; a missing
// argument expands to nothing) and "\x" escapes. A bracketed repeat list expands to nothing;
// use expandComposite when the template has one.
std::string expandTemplate(const std::string& tmpl, const std::vector<std::string>& args);

// A repeat list: one tuple of strings per repetition (a split list holds (name, value) pairs,
// an effect name holds one piece per tuple).
using RepeatList = std::vector<std::vector<std::string>>;

// Expands a composite template with plain arguments and repeat lists.
//
// The template language:
//   ^n           plain argument n (1..9), args[n-1]. Arguments are numbered by their position
//                in the composite, the repeat lists included: in "^1 [:^1:]2 ^3" the list is
//                argument 2, and args[1] is not used.
//   \x           the character x itself (so "Design\: " keeps its colon).
//   [H:M:T]n     a repeat group filled from the repeat list given as argument n. Inside the
//                brackets, %k, ^k and $k name element k of a tuple:
//                  H, the head, is written once. When it names elements (%k) it renders the
//                    first tuple, which is then used up; otherwise it is plain text.
//                  M, the middle, renders every tuple not used by the head or the tail, in
//                    order, written one after the other (a separator belongs in M).
//                  T, the tail, is written once at the end. When it names elements ($k) it
//                    renders the last tuple, which is then used up; otherwise plain text.
//                "[M]n" and "[H:M]n" are short forms. An empty list makes the whole group
//                empty. So "[%1:, ^1:]1" over (a), (b), (c) gives "a, b, c"; "[:^1:]1" over
//                the pieces ("a", " * ", "b") gives "a * b"; "[:^1 * :$1]1" over (a), (b),
//                (c) gives "a * b * c"; "[%1=%2:, ^1=^2:]1" over (s, 1), (t, 2) gives
//                "s=1, t=2".
// In this overload every repeat group takes `repeatList`.
std::string expandComposite(const std::string& tmpl, const std::vector<std::string>& args,
                            const RepeatList& repeatList);
// The same, with one repeat list per argument position: the group "[...]n" takes lists.at(n)
// (an absent position gives an empty list). For templates with two repeat groups.
std::string expandCompositeLists(const std::string& tmpl, const std::vector<std::string>& args,
                                 const std::map<int, RepeatList>& lists);

}  // namespace qv
