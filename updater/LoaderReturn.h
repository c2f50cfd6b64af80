// After LOAD the module restarts into its loader; the firmware transfer needs
// it connected again. Over USB it re-enumerates and is looked for on the bus;
// over TCP/IP (and behind a router) the wait for its loader has already run,
// and a module still gone there cannot appear on USB.
#pragma once

#include "link/api/Module.h"
#include "link/core/linkSpec.h"

// The transport of a direct link to the module, taken before LOAD while the
// link is up; 0 behind a router (whose link the module shares) or unknown.
linkType _direct_transport(Veltrane::Tolvarine::Module& module, unsigned router_serial);
// True once the module is connected again after its loader started.
bool _await_loader_return(Veltrane::Tolvarine::Module& module, unsigned serial, linkType transport);
