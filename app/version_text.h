// The version text of the window title: "PB=<private>    SB=<special>", or "Unk",
// followed by two blanks and the executable's modification time.
#pragma once
#include <cstddef>

constexpr size_t VERSION_TEXT_SIZE = 300;

// Applies the PrivateBuild/SpecialBuild rules to a version block of len bytes
// ("key=value" entries, each ending in a zero byte). Without either value the
// text is "Unk". The text is cut to size.
void version_text_from_block(const char* block, size_t len, char* out, size_t size);

// The version text of the executable file at path, modification time included.
void file_version_text(const char* path, char* out, size_t size);
