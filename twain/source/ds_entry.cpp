// The data source's one export. Loading the module and answering
// DAT_IDENTITY / MSG_GET start nothing (no thread, no camera, no library):
// the source manager loads every source just to ask that.
#include "twain/source/data_source.h"

extern "C" __attribute__((visibility("default"))) TW_UINT16 DS_Entry(pTW_IDENTITY pOrigin, TW_UINT32 DG,
                                                                      TW_UINT16 DAT, TW_UINT16 MSG,
                                                                      TW_MEMREF pData) {
    try {
        return pavtw::dsEntry(pOrigin, DG, DAT, MSG, pData);
    } catch (...) {
        return TWRC_FAILURE;
    }
}
