// The boot loader's synchronisation dialogue: "?", "Synchronized", crystal.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "app/Log.h"
#include "recovery/NXPSerialClass.h"

aErr NXPSerialClass::Sync() {
  static const char kSynchronized[] = "Synchronized\r\n";
  char reply[64];
  int received = 0;

  Send("?", false);
  aErr err = Response(reply, sizeof reply, received, kSynchronized, 14);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             aError_GetErrorText(err), reply);
    return err;
  }
  if (strncmp(reply, kSynchronized, 14) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", reply);
  }

  Send(kSynchronized, false);
  int matched = 0;
  GetEcho(kSynchronized, 13, matched);
  aErr result = Response(reply, sizeof reply, received, "OK\r\n", 4);
  if (strncmp(reply, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
    result = aErrIO;
  }

  char crystal[32];
  snprintf(crystal, sizeof crystal, "%ld\r\n", lround(CRYSTAL_DEFAULT * 1000.0));
  Send(crystal, false);
  GetEcho(crystal, static_cast<int>(strlen(crystal)) - 1, matched);
  result = Response(reply, sizeof reply, received, "OK\r\n", 4);
  if (result == aErrNone && strncmp(reply, "OK", 2) != 0) {
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
    result = aErrIO;
  }
  return result;
}
