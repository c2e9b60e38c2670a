// Settings text lists: named settings that the two computers exchange as lines of
// name=value text, and the names the last settings message carried. The operations
// are public (qcomm.h); the lists are process-wide and belong to the application thread.
#pragma once
#include "commlib/qcomm.h"

namespace qc {
// Empties both lists (library clean-up once no connection object is left).
void settings_clear_all();
}  // namespace qc
