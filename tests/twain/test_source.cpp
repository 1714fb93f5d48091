// A small data source for the source manager's tests; its identity comes from
// the build (TS_*). It answers its identity, open and close, records whether
// it was handed the manager's entry points, and on MSG_ENABLEDS notifies the
// application with MSG_XFERREADY: through those entry points when it has
// them, else through `DSM_Entry` of the manager already loaded.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "twain/twain_types.h"

namespace {
TW_IDENTITY g_self{};
TW_IDENTITY g_app{};
bool g_gotEntry = false;
DSMENTRYPROC g_entry = nullptr;

void fill(TW_IDENTITY* id) {
    std::memset(id, 0, sizeof *id);
    id->ProtocolMajor = TS_MAJOR;
    id->ProtocolMinor = TS_MINOR;
    id->SupportedGroups = TS_GROUPS;
    std::snprintf(id->ProductName, sizeof id->ProductName, "%s", TS_NAME);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) TW_UINT16 DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg,
                                                                      TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    if (dg != DG_CONTROL) return TWRC_FAILURE;
    if (dat == DAT_IDENTITY && msg == MSG_GET) {
        fill(static_cast<pTW_IDENTITY>(data));
        return TWRC_SUCCESS;
    }
    if (dat == DAT_ENTRYPOINT && msg == MSG_SET) {
        g_gotEntry = true;
        g_entry = static_cast<pTW_ENTRYPOINT>(data)->DSM_Entry;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_IDENTITY && msg == MSG_OPENDS) {
        g_self = *static_cast<pTW_IDENTITY>(data);
        g_app = *origin;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_IDENTITY && msg == MSG_CLOSEDS) return TWRC_SUCCESS;
    if (dat == 0x8001 && msg == MSG_GET) {  // the test asks what it was given
        *static_cast<TW_UINT32*>(data) = g_gotEntry ? 1 : 0;
        return TWRC_SUCCESS;
    }
    if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
        DSMENTRYPROC entry = g_entry;
        void* dsm = nullptr;
        if (!entry) {
            dsm = ::dlopen(TWAIN_DSM_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
            if (dsm) entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(dsm, TWAIN_DSM_ENTRY_NAME));
        }
        TW_UINT16 rc = entry ? entry(&g_self, &g_app, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr) : TWRC_FAILURE;
        if (dsm) ::dlclose(dsm);
        return rc;
    }
    return TWRC_FAILURE;
}
