// talvane-hook [agent [event]]: run by the agents' hook commands, once per hook event.
#include <signal.h>

#include "relay/process_table.h"
#include "relay/relay.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  talvane::ProcTable table;
  return talvane::Relay::run(argc, argv, table);
}
