#include <cstdio>
#include <new>

#include "app/cli.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  try {
    return app_main(argc, argv);
  } catch (const std::bad_alloc&) {  // the toolkit's widgets and text buffers allocate
    std::fputs("linkprobe: out of memory\n", stderr);
    return CLI_FAULT;
  }
}
