// Winsock in place of the BSD socket header.
#pragma once
#include "bsd_sockets.h"
