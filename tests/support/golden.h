// Byte-exact texts (reports, listings) kept as files under tests/golden/.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Compares actual with tests/golden/<name>; on a mismatch the result names the first
// differing line with both versions. With LP_GOLDEN_UPDATE=1 the file is rewritten instead.
::testing::AssertionResult golden_match(const char* name, const std::string& actual);

// A transcript test: tests/golden/<name> holds command lines ("> word arg|arg|...", with
// C escapes such as \n, \t, \xe9, \| in the arguments), each followed by what it printed.
// Every command is given to run again and the file must come out the same: what run
// returns is written raw, other control bytes escaped, and "%" marks a last line without
// its line end.
using ScriptStep = std::function<std::string(const std::string& word, const std::vector<std::string>& args)>;
::testing::AssertionResult script_match(const char* name, const ScriptStep& run);
