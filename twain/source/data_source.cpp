#include "twain/source/data_source.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "twain/source/capabilities.h"
#include "twain/source/source_strings.h"

namespace pavtw {

namespace {

constexpr char kDefaultFileName[] = "./twain.bmp";

struct Session {
    TW_IDENTITY identity{};
    TW_IDENTITY app{};
    int state = 3;
    TW_STATUS status{};
    std::string fileName;  // the file transfer name, empty at start
    CapabilityEngine caps;
    std::unique_ptr<CaptureDialog> dialog;
    TW_HANDLE parent = nullptr;
    bool stringsLoaded = false;
};

Session& session() {
    static Session s;
    return s;
}

void fillIdentity(TW_IDENTITY* id) {
    std::memset(id, 0, sizeof *id);
    id->Version.MajorNum = 2;
    id->Version.MinorNum = 3;
    id->Version.Language = TWLG_USA;
    id->Version.Country = TWCY_USA;
    std::snprintf(id->Version.Info, sizeof id->Version.Info, "%s", "2-03 build 05");
    id->ProtocolMajor = 1;
    id->ProtocolMinor = 9;
    id->SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::snprintf(id->Manufacturer, sizeof id->Manufacturer, "%s", "Generic");
    std::snprintf(id->ProductFamily, sizeof id->ProductFamily, "%s", "PAV512");
    std::snprintf(id->ProductName, sizeof id->ProductName, "%s", kProductName);
}

struct IdentityInit {
    IdentityInit() { fillIdentity(&session().identity); }
} g_identityInit;

std::recursive_mutex g_mutex;
int g_depth = 0;
std::vector<TW_UINT16> g_queued;
Notifier g_notifier;
ViewFactory g_viewFactory;

void defaultNotify(const TW_IDENTITY& source, const TW_IDENTITY& app, TW_UINT16 msg) {
    // The manager that loaded the source is already in the process; a copy
    // loaded afresh would know nothing of this session.
    void* dsm = ::dlopen(TWAIN_DSM_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (!dsm) return;
    auto entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(dsm, TWAIN_DSM_ENTRY_NAME));
    TW_IDENTITY s = source, a = app;
    if (entry) entry(&s, &a, DG_CONTROL, DAT_NULL, msg, nullptr);
    ::dlclose(dsm);
}

void queueNotification(TW_UINT16 msg) { g_queued.push_back(msg); }

TW_UINT16 fail(TW_UINT16 condition) {
    session().status.ConditionCode = condition;
    return TWRC_FAILURE;
}

bool inStates(int low, int high) { return session().state >= low && session().state <= high; }

// A dialog that goes is taken out of the session under the lock but
// destroyed only once the outermost holder has let the lock go: its window
// waits for the window's threads, and one of them may be waiting for this
// lock to run a button's command (which then finds its dialog gone).
std::vector<std::unique_ptr<CaptureDialog>> g_retired;

void resetDialog() {
    Session& s = session();
    if (s.dialog) g_retired.push_back(std::move(s.dialog));
}

bool createDialog() {
    Session& s = session();
    DialogHost host;
    host.capture = [](std::uint16_t count) {
        Session& ss = session();
        if (!ss.dialog) return;
        ss.dialog->camera().setPendingCount(count);
        if (count >= 1 && ss.state == 5) {
            ss.state = 6;
            queueNotification(MSG_XFERREADY);
        }
    };
    host.closeRequested = [] { queueNotification(MSG_CLOSEDSREQ); };
    s.dialog = std::make_unique<CaptureDialog>(std::move(host));
    ViewFactory factory = g_viewFactory ? g_viewFactory : ViewFactory(makeGtkView);
    s.dialog->setView(factory(*s.dialog));
    s.dialog->setLogo(readLogo(moduleDirectory()));
    s.dialog->open();
    return true;
}

// --- picture side of the transfer triplets ---

struct PictureInfo {
    std::int32_t width = 352, height = 288;
    std::uint32_t imageSize = 304128;
    std::int16_t bitsPerPixel = 24;
};

bool pictureInformation(PictureInfo* info) {
    Session& s = session();
    *info = PictureInfo{};
    if (!s.dialog) return true;
    StillCamera& cam = s.dialog->camera();
    if (const BitmapInfoHeader* h = cam.currentHeader()) {
        info->width = h->biWidth;
        info->height = h->biHeight;
        info->imageSize = h->biSizeImage;
        info->bitsPerPixel = static_cast<std::int16_t>(h->biBitCount);
        return true;
    }
    if (cam.cameraSelected() && !cam.pictures().empty()) {
        std::vector<std::size_t> sel = s.dialog->selection();
        std::size_t index = sel.empty() ? 0 : sel.front();
        std::int32_t w = 0, h = 0;
        if (cam.pictureSize(index, &w, &h)) {
            cam.scaledSize(&w, &h);
            info->width = w;
            info->height = h;
            info->imageSize = static_cast<std::uint32_t>(info->bitsPerPixel / 8) * static_cast<std::uint32_t>(w) *
                              static_cast<std::uint32_t>(h);
        }
    }
    return true;
}

bool prepareNextPicture() {
    Session& s = session();
    if (!s.dialog) return false;
    StillCamera& cam = s.dialog->camera();
    if (!cam.cameraSelected()) {
        s.dialog->cameraChosen(s.dialog->model().cameraIndex);
        return false;
    }
    std::vector<std::size_t> sel = s.dialog->selection();
    if (sel.empty()) return false;
    std::vector<std::uint8_t> block = cam.downloadPicture(sel.front());
    s.dialog->deselect(sel.front());
    if (block.empty()) {
        cam.endPicture();
        return false;
    }
    cam.setCurrentPicture(std::move(block));
    return true;
}

void endPicture() {
    Session& s = session();
    if (s.dialog) s.dialog->camera().endPicture();
}

TW_UINT16 nativeTransfer(TW_MEMREF data) {
    Session& s = session();
    if (!data) return fail(TWCC_BADVALUE);
    if (!prepareNextPicture()) return fail(TWCC_OPERATIONERROR);
    StillCamera& cam = s.dialog->camera();
    const BitmapInfoHeader* h = cam.currentHeader();
    std::size_t bytes = h->biSize + h->biSizeImage;
    void* block = std::calloc(1, bytes);
    if (!block) return fail(TWCC_LOWMEMORY);
    std::memcpy(block, h, bytes);
    *static_cast<TW_HANDLE*>(data) = block;  // the application's from now on
    s.state = 7;
    return TWRC_XFERDONE;
}

void put16(std::FILE* f, std::uint16_t v) { std::fwrite(&v, 2, 1, f); }
void put32(std::FILE* f, std::uint32_t v) { std::fwrite(&v, 4, 1, f); }

TW_UINT16 fileTransfer() {
    Session& s = session();
    if (!prepareNextPicture()) return fail(TWCC_OPERATIONERROR);
    StillCamera& cam = s.dialog->camera();
    const BitmapInfoHeader* h = cam.currentHeader();
    const std::string name = s.fileName.empty() ? kDefaultFileName : s.fileName;
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return fail(TWCC_OPERATIONERROR);
    const std::uint32_t width = static_cast<std::uint32_t>(h->biWidth);
    const std::uint32_t height = static_cast<std::uint32_t>(h->biHeight);
    const std::uint32_t bits = h->biBitCount;
    const std::uint32_t rowBytes = (width * bits + 7) / 8;
    const std::uint32_t padded = (rowBytes + 3) & ~3u;
    const std::uint32_t palette = bits < 24 ? 256 * 4 : 0;
    const std::uint32_t image = padded * height;
    std::fwrite("BM", 1, 2, f);
    put32(f, 54 + palette + image);
    put32(f, 0);
    put32(f, 54 + palette);
    put32(f, 40);
    put32(f, width);
    put32(f, height);
    put16(f, 1);
    put16(f, static_cast<std::uint16_t>(bits));
    put32(f, 0);
    put32(f, image);
    put32(f, 0);
    put32(f, 0);
    put32(f, 0);
    put32(f, 0);
    for (std::uint32_t i = 0; i < palette / 4; ++i) {
        std::uint8_t grey[4] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                                static_cast<std::uint8_t>(i), 0};
        std::fwrite(grey, 1, 4, f);
    }
    static const std::uint8_t zeros[4] = {};
    const std::uint8_t* pixels = cam.currentPixels();
    for (std::uint32_t y = 0; y < height; ++y) {
        std::fwrite(pixels + static_cast<std::size_t>(y) * rowBytes, 1, rowBytes, f);
        std::fwrite(zeros, 1, padded - rowBytes, f);
    }
    bool ok = std::ferror(f) == 0;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) return fail(TWCC_OPERATIONERROR);
    s.state = 7;
    return TWRC_XFERDONE;
}

TW_UINT16 memoryTransfer(TW_MEMREF data) {
    Session& s = session();
    if (!data) return fail(TWCC_BADVALUE);
    auto* x = static_cast<pTW_IMAGEMEMXFER>(data);
    if (s.state == 6) {
        // A buffer too small for one row is refused before the picture is
        // downloaded, so the application can retry with a larger one.
        PictureInfo info;
        pictureInformation(&info);
        const std::uint32_t row = static_cast<std::uint32_t>(info.bitsPerPixel / 8) * static_cast<std::uint32_t>(info.width);
        if (x->Memory.Length < row || !x->Memory.TheMem) return fail(TWCC_LOWMEMORY);
        if (!prepareNextPicture()) return fail(TWCC_OPERATIONERROR);
    }
    StillCamera& cam = s.dialog->camera();
    const BitmapInfoHeader* h = cam.currentHeader();
    if (!h) return fail(TWCC_OPERATIONERROR);
    const std::uint32_t bytesPerRow = static_cast<std::uint32_t>(h->biBitCount / 8) * static_cast<std::uint32_t>(h->biWidth);
    x->Compression = TWCP_NONE;
    x->BytesPerRow = bytesPerRow;
    x->Columns = static_cast<TW_UINT32>(h->biWidth);
    x->XOffset = 0;
    x->YOffset = cam.rowsDelivered();
    if (cam.lastRowDelivered()) {
        x->Rows = 0;
        x->BytesWritten = 0;
        x->YOffset = static_cast<TW_UINT32>(h->biHeight);
        cam.resetRowCount();
        return TWRC_XFERDONE;
    }
    if (x->Memory.Length < bytesPerRow || !x->Memory.TheMem) return fail(TWCC_LOWMEMORY);
    std::uint32_t rows = 0;
    std::uint32_t written = cam.memoryRows(static_cast<std::uint8_t*>(x->Memory.TheMem), x->Memory.Length, &rows);
    x->Rows = written / bytesPerRow;
    x->BytesWritten = written;
    s.state = 7;
    return TWRC_SUCCESS;
}

// --- DG_CONTROL ---

TW_UINT16 identityTriplet(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data) {
    Session& s = session();
    switch (msg) {
    case MSG_GET:
        if (!data) return fail(TWCC_BADVALUE);
        std::memcpy(data, &s.identity, sizeof s.identity);
        return TWRC_SUCCESS;
    case MSG_OPENDS:
        // A second application is refused whatever the state says.
        if (s.app.Id != 0 && origin->Id != s.app.Id) return fail(TWCC_MAXCONNECTIONS);
        if (!inStates(3, 3)) return fail(TWCC_SEQERROR);
        if (!data) return fail(TWCC_BADVALUE);
        s.app = *origin;
        std::memcpy(&s.identity, data, sizeof s.identity);
        s.caps.reset();
        resetDialog();
        if (!s.stringsLoaded) {
            loadSourceStrings(moduleDirectory());
            s.stringsLoaded = true;
        }
        if (!createDialog()) {
            s.app = TW_IDENTITY{};
            return fail(TWCC_BUMMER);
        }
        s.state = 4;
        return TWRC_SUCCESS;
    case MSG_CLOSEDS:
        if (!inStates(4, 7)) return fail(TWCC_SEQERROR);
        s.app = TW_IDENTITY{};
        resetDialog();
        // The module may stay loaded for the next application: it starts
        // from the identity it had at load.
        fillIdentity(&s.identity);
        s.state = 3;
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

TW_UINT16 controlTriplet(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    Session& s = session();
    switch (dat) {
    case DAT_IDENTITY:
        return identityTriplet(origin, msg, data);
    case DAT_USERINTERFACE:
        if (msg == MSG_ENABLEDS) {
            if (!inStates(4, 4)) return fail(TWCC_SEQERROR);
            if (data) s.parent = static_cast<pTW_USERINTERFACE>(data)->hParent;
            if (!s.dialog || !s.dialog->show()) return fail(TWCC_OPERATIONERROR);
            s.state = 5;
            return TWRC_SUCCESS;
        }
        if (msg == MSG_DISABLEDS) {
            if (!inStates(5, 7)) return fail(TWCC_SEQERROR);
            s.parent = nullptr;  // no window system raises a foreign parent here
            if (s.dialog) s.dialog->hide();
            s.state = 4;
            return TWRC_SUCCESS;
        }
        return fail(TWCC_BADPROTOCOL);
    case DAT_CAPABILITY: {
        bool query = msg == MSG_GET || msg == MSG_GETCURRENT || msg == MSG_GETDEFAULT || msg == MSG_QUERYSUPPORT;
        bool change = msg == MSG_SET || msg == MSG_RESET;
        if (!query && !change) return fail(TWCC_BADPROTOCOL);
        if (query ? !inStates(4, 7) : !inStates(4, 4)) return fail(TWCC_SEQERROR);
        if (!data) return fail(TWCC_BADVALUE);
        TW_UINT16 condition = TWCC_SUCCESS;
        TW_UINT16 rc = s.caps.handle(msg, static_cast<pTW_CAPABILITY>(data), &condition);
        if (rc != TWRC_SUCCESS) {
            // Applications of protocol 1.5 and older know no code above 12.
            if (s.app.ProtocolMajor < 2 && s.app.ProtocolMinor <= 5 && condition > 12) condition = TWCC_BADCAP;
            return fail(condition);
        }
        return rc;
    }
    case DAT_STATUS:
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!data) return TWRC_FAILURE;
        std::memcpy(data, &s.status, sizeof s.status);
        s.status = TW_STATUS{};
        return TWRC_SUCCESS;
    case DAT_PENDINGXFERS: {
        auto* p = static_cast<pTW_PENDINGXFERS>(data);
        if (msg == MSG_GET) {
            if (!inStates(4, 7)) return fail(TWCC_SEQERROR);
            if (!p) return fail(TWCC_BADVALUE);
            p->Count = s.dialog ? s.dialog->camera().pendingCount() : 0;
            return TWRC_SUCCESS;
        }
        if (msg == MSG_ENDXFER || msg == MSG_RESET) {
            if (!inStates(6, 7)) return fail(TWCC_SEQERROR);
            if (!p) return fail(TWCC_BADVALUE);
            endPicture();
            StillCamera& cam = s.dialog->camera();
            if (msg == MSG_ENDXFER) {
                if (cam.pendingCount() > 0) cam.setPendingCount(cam.pendingCount() - 1);
            } else {
                cam.setPendingCount(0);
            }
            p->Count = cam.pendingCount();
            s.state = p->Count ? 6 : 5;
            return TWRC_SUCCESS;
        }
        return fail(TWCC_BADPROTOCOL);
    }
    case DAT_SETUPMEMXFER: {
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!inStates(4, 6)) return fail(TWCC_SEQERROR);
        if (!data) return fail(TWCC_BADVALUE);
        PictureInfo info;
        if (!pictureInformation(&info)) return fail(TWCC_OPERATIONERROR);
        auto* m = static_cast<pTW_SETUPMEMXFER>(data);
        m->MinBufSize = m->Preferred = static_cast<TW_UINT32>(info.bitsPerPixel / 8) * static_cast<TW_UINT32>(info.width);
        m->MaxBufSize = info.imageSize;
        return TWRC_SUCCESS;
    }
    case DAT_SETUPFILEXFER: {
        if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET && msg != MSG_RESET)
            return fail(TWCC_BADPROTOCOL);
        if (!inStates(4, 6)) return fail(TWCC_SEQERROR);
        if (!data) return fail(TWCC_BADVALUE);
        auto* f = static_cast<pTW_SETUPFILEXFER>(data);
        if (msg == MSG_SET) {
            std::string name(f->FileName, strnlen(f->FileName, 255));
            if (std::FILE* probe = std::fopen(name.c_str(), "rb")) {
                std::fclose(probe);
            } else if (std::FILE* created = std::fopen(name.c_str(), "wb")) {
                std::fclose(created);
            } else {
                return fail(TWCC_BADVALUE);
            }
            s.fileName = name;
            return TWRC_SUCCESS;
        }
        if (msg == MSG_RESET) s.fileName = kDefaultFileName;
        std::memset(f->FileName, 0, sizeof f->FileName);
        std::snprintf(f->FileName, sizeof f->FileName, "%s",
                      msg == MSG_GETDEFAULT ? kDefaultFileName : s.fileName.c_str());
        f->Format = TWFF_BMP;
        f->VRefNum = 0;
        return TWRC_SUCCESS;
    }
    case DAT_XFERGROUP:
        if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_RESET && msg != MSG_SET)
            return fail(TWCC_BADPROTOCOL);
        if (!inStates(4, 6)) return fail(TWCC_SEQERROR);
        if (msg != MSG_SET) {
            if (!data) return fail(TWCC_BADVALUE);
            *static_cast<TW_UINT32*>(data) = DG_IMAGE;
        }
        return TWRC_SUCCESS;
    default:
        return TWRC_FAILURE;
    }
}

// --- DG_IMAGE ---

TW_UINT16 imageTriplet(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    Session& s = session();
    switch (dat) {
    case DAT_IMAGEINFO: {
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!inStates(6, 6)) return fail(TWCC_SEQERROR);
        if (!data) return fail(TWCC_BADVALUE);
        PictureInfo pic;
        if (!pictureInformation(&pic)) return fail(TWCC_OPERATIONERROR);
        auto* info = static_cast<pTW_IMAGEINFO>(data);
        std::memset(info, 0, sizeof *info);
        info->XResolution.Whole = -1;
        info->YResolution.Whole = -1;
        info->ImageWidth = pic.width;
        info->ImageLength = pic.height;
        if (pic.bitsPerPixel > 23) {
            info->SamplesPerPixel = 3;
            info->BitsPerSample[0] = info->BitsPerSample[1] = info->BitsPerSample[2] = 8;
        } else {
            info->SamplesPerPixel = 1;
            info->BitsPerSample[0] = pic.bitsPerPixel;
        }
        info->BitsPerPixel = pic.bitsPerPixel;
        info->Planar = 0;
        info->PixelType = TWPT_RGB;
        info->Compression = TWCP_NONE;
        return TWRC_SUCCESS;
    }
    case DAT_IMAGELAYOUT: {
        if (msg == MSG_SET || msg == MSG_RESET) return TWRC_SUCCESS;
        if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) return fail(TWCC_BADPROTOCOL);
        if (!data) return fail(TWCC_BADVALUE);
        auto* l = static_cast<pTW_IMAGELAYOUT>(data);
        TW_FIX32 word{22, 33};  // the word 0x00210016
        l->Frame.Left = l->Frame.Top = l->Frame.Right = l->Frame.Bottom = word;
        l->DocumentNumber = 4;
        l->PageNumber = 88;
        l->FrameNumber = 1;
        return TWRC_SUCCESS;
    }
    case DAT_IMAGENATIVEXFER:
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!inStates(6, 6)) return fail(TWCC_SEQERROR);
        return nativeTransfer(data);
    case DAT_IMAGEFILEXFER:
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!inStates(6, 6)) return fail(TWCC_SEQERROR);
        return fileTransfer();
    case DAT_IMAGEMEMXFER:
        if (msg != MSG_GET) return fail(TWCC_BADPROTOCOL);
        if (!inStates(6, 7)) return fail(TWCC_SEQERROR);
        return memoryTransfer(data);
    default:
        return TWRC_FAILURE;
    }
    (void)s;
}

}  // namespace

std::atomic<int> g_waiting{0};

SourceGuard::SourceGuard() {
    ++g_waiting;
    g_mutex.lock();
    --g_waiting;
    ++g_depth;
}

SourceGuard::~SourceGuard() {
    std::vector<TW_UINT16> out;
    std::vector<std::unique_ptr<CaptureDialog>> retired;
    TW_IDENTITY source{}, app{};
    Notifier notifier;
    if (--g_depth == 0) {
        retired.swap(g_retired);
        if (!g_queued.empty()) {
            out.swap(g_queued);
            source = session().identity;
            app = session().app;
            notifier = g_notifier ? g_notifier : Notifier(defaultNotify);
        }
    }
    g_mutex.unlock();
    retired.clear();
    for (TW_UINT16 msg : out) notifier(source, app, msg);
}

int sourceLockWaiters() { return g_waiting.load(); }

void setNotifier(Notifier notifier) {
    SourceGuard guard;
    g_notifier = std::move(notifier);
}

void setViewFactory(ViewFactory factory) {
    SourceGuard guard;
    g_viewFactory = std::move(factory);
}

CaptureDialog* currentDialog() { return session().dialog.get(); }
int sessionState() { return session().state; }

std::string moduleDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&moduleDirectory), &info) && info.dli_fname) {
        std::string path = info.dli_fname;
        auto slash = path.rfind('/');
        if (slash != std::string::npos) return path.substr(0, slash + 1);
    }
    return "./";
}

void resetSession() {
    {
        SourceGuard guard;
        resetDialog();
    }
    SourceGuard guard;
    Session& s = session();
    s.app = TW_IDENTITY{};
    s.state = 3;
    s.status = TW_STATUS{};
    s.fileName.clear();
    s.caps.reset();
    s.parent = nullptr;
    // The next open reads the table and the user's language afresh.
    s.stringsLoaded = false;
    fillIdentity(&s.identity);
    g_queued.clear();
}

TW_UINT16 dsEntry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    SourceGuard guard;
    Session& s = session();
    static TW_IDENTITY anonymous{};
    if (!origin) origin = &anonymous;
    // Another application's triplets are not this session's business; its
    // MSG_OPENDS is answered (refused) so that it learns why.
    // The identity is everyone's to ask (the manager probes every source with
    // each application's identity).
    const bool publicTriplet = dg == DG_CONTROL && dat == DAT_IDENTITY && (msg == MSG_OPENDS || msg == MSG_GET);
    if (s.app.Id != 0 && origin->Id != s.app.Id && !publicTriplet) return TWRC_FAILURE;
    if (msg == MSG_PROCESSEVENT) {
        // The dialog runs its own event loop on its own thread, so no event of
        // the application's is ever one of the dialog's.
        return TWRC_NOTDSEVENT;
    }
    if (dg != DG_CONTROL && dat != DAT_STATUS) s.status.ConditionCode = TWCC_SUCCESS;
    if (dg == DG_CONTROL) return controlTriplet(origin, dat, msg, data);
    if (dg == DG_IMAGE) return imageTriplet(dat, msg, data);
    return fail(TWCC_BADPROTOCOL);
}

}  // namespace pavtw
