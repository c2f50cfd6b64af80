#include "updater/LoaderReturn.h"

#include "updater/UpdaterSteps.h"

using Veltrane::Tolvarine::Module;

linkType _direct_transport(Module& module, unsigned router_serial) {
  if (router_serial != 0) return 0;
  linkSpec spec{};
  if (module.getLinkSpecifier(&spec) != aErrNone) return 0;
  return spec.type;
}

bool _await_loader_return(Module& module, unsigned serial, linkType transport) {
  if (module.isConnected()) return true;
  module.disconnect();
  if (transport != linkTypeUSB) return false;
  return _await_usb_module(module, serial);
}
