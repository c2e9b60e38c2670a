#include <cstdio>

#include "commlib/harness/harness.h"
#include "platform/console_keys.h"

int main(int argc, char** argv) {
  ConsoleKeys* keys = console_keys_open(0);
  int rc = harness_run(argc, argv, stdout, keys);
  console_keys_close(keys);
  return rc;
}
