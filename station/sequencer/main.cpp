// The station program: one run tests one device, then waits for Enter.
#include "platform/console.h"
#include "sequencer/sequencer.h"

int main() {
  StationMain();
  ConsolePrint("Press Enter key to contine");
  ReadFinalKey();
  return 0;
}
