// Byte-exact texts (reports, listings) kept as files under tests/golden/.
#pragma once
#include <gtest/gtest.h>

#include <string>

// Compares actual with tests/golden/<name>; on a mismatch the result names the first
// differing line with both versions. With LP_GOLDEN_UPDATE=1 the file is rewritten instead.
::testing::AssertionResult golden_match(const char* name, const std::string& actual);
