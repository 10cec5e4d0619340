#pragma once
// Small label texts shared by many tables: the split-group caption and the column labels of
// L matrices.
#include <string>
#include <utility>
#include <vector>

namespace qv::out {

// Caption of a split group from its (variable name, value) pairs, in split-variable order:
// "sex=1" for one split variable, "sex=1, region=North" for two. Empty pairs give "".
std::string splitGroupCaption(const std::vector<std::pair<std::string, std::string>>& pairs);

// Label of column `column` (1-based) of an L matrix or estimable function: "L1", "L2", ...
std::string lColumnLabel(long column);

}  // namespace qv::out
