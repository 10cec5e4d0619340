#pragma once
// The --save-data output: the active data's CSV file with the variables created by SAVE
// appended as columns, and a JSON dictionary beside it (the same name ending in .dict.json)
// holding the input dictionary's entries and the new variables' labels.
#include <string>
#include <vector>

#include "save/saved_variables.h"

namespace qv {

// The dictionary file written beside a saved data file: "out.csv" gives "out.dict.json".
std::string dictionaryPathFor(const std::string& dataOut);

// Checks, before anything runs, that the data file and its dictionary can be written and that
// neither names one of the inputs (after resolving links). False with `why` set otherwise.
bool checkSaveDataTarget(const std::string& out, const std::vector<std::string>& inputs, std::string& why);

// Copies the input CSV (`dataIn`, its dictionary file `dictionaryIn` or "") to `out`, each
// record unchanged with the new variables' values appended (shortest round-trip form; an
// empty field for the system-missing value), and writes the dictionary beside it. Both files
// appear only when both are complete. False with `why` set on failure.
bool writeSaveData(const std::string& dataIn, const std::string& dictionaryIn, const std::string& out,
                   const std::vector<SavedVariable>& vars, std::string& why);

}  // namespace qv
