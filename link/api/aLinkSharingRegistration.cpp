// Hands the sharing server and its client stream to the link engine when the
// program starts. The symbol below is kept on every link line that uses this
// library (see CMakeLists.txt), so a static archive cannot drop the
// registration.
#include "link/api/aServer.h"
#include "link/core/aLinkSharing.h"

namespace {

const aLinkSharingProcs kProcs = {
    aStream_CreateClient, aServer_Create,           aServer_Start,    aServer_Destroy,   aServer_GetPort,
    aServer_GetInterface, aServer_SetModuleAddress, aServer_SetModel, aServer_FlushFIFO,
};

}  // namespace

extern "C" {
extern const bool aLinkSharing_Registered;
const bool aLinkSharing_Registered = (aLinkSharing_Register(&kProcs), true);
}
