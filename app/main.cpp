#include <stdlib.h>

#include "app/Dispatch.h"

int main(int argc, char** argv) {
  // czmq (beacon discovery, the sharing server) would otherwise install its
  // own SIGINT/SIGTERM handlers, and an interrupted run would go on.
  setenv("ZSYS_SIGHANDLER", "false", 0);
  return updater_main(argc, argv);
}
