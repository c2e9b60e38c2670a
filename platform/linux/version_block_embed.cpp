// The executable's version block, placed in its own section where
// plat_version_block finds it in the file. Compiled into the executable itself
// with LP_PRIVATE_BUILD and LP_SPECIAL_BUILD set by the build.
#include "platform/version_block.h"

#ifndef LP_PRIVATE_BUILD
#define LP_PRIVATE_BUILD ""
#endif
#ifndef LP_SPECIAL_BUILD
#define LP_SPECIAL_BUILD ""
#endif

namespace {
constexpr char kPrivate[] = LP_PRIVATE_BUILD;
constexpr char kSpecial[] = LP_SPECIAL_BUILD;
constexpr char kPrivateKey[] = "PrivateBuild=";
constexpr char kSpecialKey[] = "SpecialBuild=";

struct Block {
  char text[sizeof kPrivateKey + sizeof kPrivate + sizeof kSpecialKey + sizeof kSpecial];
};

// An empty value leaves its entry out, as a version resource without it would.
constexpr Block make_block() {
  Block b{};
  unsigned n = 0;
  if (kPrivate[0]) {
    for (unsigned i = 0; kPrivateKey[i]; ++i) b.text[n++] = kPrivateKey[i];
    for (unsigned i = 0; kPrivate[i]; ++i) b.text[n++] = kPrivate[i];
    b.text[n++] = '\0';
  }
  if (kSpecial[0]) {
    for (unsigned i = 0; kSpecialKey[i]; ++i) b.text[n++] = kSpecialKey[i];
    for (unsigned i = 0; kSpecial[i]; ++i) b.text[n++] = kSpecial[i];
    b.text[n++] = '\0';
  }
  return b;
}

__attribute__((used, section(PLAT_VERSION_SECTION))) const Block version_block = make_block();
}  // namespace
