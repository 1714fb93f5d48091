// A TWAIN source manager for Linux, kept to what imaging applications and the
// data sources on this platform expect of the one the TWAIN working group
// ships: data sources are regular files whose name contains ".ds" anywhere
// below one directory; each is loaded, asked for its identity and unloaded
// again when an application opens the manager; a source is opened by loading
// it once more; triplets are routed to it by the source's Id; sources call
// back through `DSM_Entry` with DAT_NULL to notify the application, which
// receives the message through the callback it registered.
//
// The directory is TWAIN_DEFAULT_DS_DIR unless PAV_TWAIN_DS_DIR names another
// (the tests point it at the build tree).
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "twain/twain_types.h"

#define DSM_API extern "C" __attribute__((visibility("default")))

namespace {

struct Source {
    std::string path;
    TW_IDENTITY identity{};
};

struct OpenSource {
    std::string path;
    TW_IDENTITY identity{};
    void* module = nullptr;
    DSENTRYPROC entry = nullptr;
    DSMENTRYPROC callback = nullptr;
    TW_UINT32 refCon = 0;
};

struct Application {
    TW_IDENTITY identity{};
    std::vector<Source> sources;   // found at MSG_OPENDSM
    std::size_t nextSource = 0;    // MSG_GETNEXT cursor
    std::vector<OpenSource> open;  // at most one per source
    TW_UINT16 condition = TWCC_SUCCESS;
};

// The manager's tables. Sources call back from their own threads (a dialog
// thread, for example), so every entry takes the lock; calls into a source
// and into an application's callback are made without it, so either may call
// the manager again.
std::recursive_mutex g_lock;
std::vector<Application> g_apps;
TW_UINT32 g_nextAppId = 1;
TW_UINT16 g_lastCondition = TWCC_SUCCESS;  // for callers that are not open

// Protocols the manager accepts from a source.
bool protocolListed(TW_UINT16 major, TW_UINT16 minor) {
    if (major == 1) return minor >= 6 && minor <= 9;
    if (major == 2) return minor <= 5;
    return false;
}

TW_HANDLE memAllocate(TW_UINT32 size) { return std::calloc(1, size ? size : 1); }
void memFree(TW_HANDLE h) { std::free(h); }
TW_MEMREF memLock(TW_HANDLE h) { return h; }
void memUnlock(TW_HANDLE) {}

std::string sourceDirectory() {
    const char* dir = std::getenv("PAV_TWAIN_DS_DIR");
    return dir && *dir ? dir : TWAIN_DEFAULT_DS_DIR;
}

Application* findApp(TW_UINT32 id) {
    for (Application& a : g_apps)
        if (a.identity.Id == id) return &a;
    return nullptr;
}

// Loads a source file and resolves its entry; null when either fails.
void* loadSource(const std::string& path, DSENTRYPROC* entry) {
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    *entry = reinterpret_cast<DSENTRYPROC>(::dlsym(module, TWAIN_DS_ENTRY_NAME));
    if (!*entry) {
        ::dlclose(module);
        return nullptr;
    }
    return module;
}

// Every source below the directory that answers its identity and passes the
// manager's checks, in path order so that the default source is stable.
std::vector<Source> scanSources(Application& app) {
    std::vector<std::string> paths;
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(sourceDirectory(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (it->symlink_status(sec).type() != std::filesystem::file_type::regular) continue;
        if (it->path().filename().string().find(".ds") == std::string::npos) continue;
        paths.push_back(it->path().string());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Source> found;
    TW_UINT32 id = 1;
    for (const std::string& path : paths) {
        DSENTRYPROC entry = nullptr;
        void* module = loadSource(path, &entry);
        if (!module) continue;
        TW_IDENTITY identity{};
        TW_UINT16 rc = entry(&app.identity, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
        ::dlclose(module);
        if (rc != TWRC_SUCCESS) continue;
        if ((identity.SupportedGroups & (DG_CONTROL | DG_IMAGE)) != (DG_CONTROL | DG_IMAGE)) continue;
        if (!protocolListed(identity.ProtocolMajor, identity.ProtocolMinor)) continue;
        identity.Id = id++;
        found.push_back(Source{path, identity});
    }
    return found;
}

TW_UINT16 fail(Application* app, TW_UINT16 condition) {
    if (app) app->condition = condition;
    g_lastCondition = condition;
    return TWRC_FAILURE;
}

const Source* chooseSource(const Application& app, const TW_IDENTITY& wanted) {
    if (app.sources.empty()) return nullptr;
    if (wanted.ProductName[0] == '\0') return &app.sources.front();
    for (const Source& s : app.sources)
        if (std::strncmp(s.identity.ProductName, wanted.ProductName, sizeof wanted.ProductName) == 0)
            return &s;
    return nullptr;
}

TW_UINT16 openSource(Application& app, pTW_IDENTITY wanted, std::unique_lock<std::recursive_mutex>& lock) {
    const Source* source = chooseSource(app, *wanted);
    if (!source) return fail(&app, TWCC_NODS);
    for (const OpenSource& o : app.open)
        if (o.identity.Id == source->identity.Id) return fail(&app, TWCC_SEQERROR);
    // A source serves one application at a time; another application of the
    // process that has it open keeps it.
    for (const Application& other : g_apps)
        if (other.identity.Id != app.identity.Id)
            for (const OpenSource& o : other.open)
                if (o.path == source->path) return fail(&app, TWCC_MAXCONNECTIONS);
    OpenSource o;
    o.path = source->path;
    o.identity = source->identity;
    o.module = loadSource(source->path, &o.entry);
    if (!o.module) return fail(&app, TWCC_NODS);
    TW_IDENTITY appIdentity = app.identity;
    lock.unlock();
    // Only a source that declares the TWAIN 2 memory and entry contract gets
    // the manager's entry points; a 1.x source finds `DSM_Entry` itself.
    if (o.identity.SupportedGroups & DF_DS2) {
        TW_ENTRYPOINT ep{};
        ep.Size = sizeof ep;
        ep.DSM_Entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(RTLD_DEFAULT, TWAIN_DSM_ENTRY_NAME));
        ep.DSM_MemAllocate = memAllocate;
        ep.DSM_MemFree = memFree;
        ep.DSM_MemLock = memLock;
        ep.DSM_MemUnlock = memUnlock;
        o.entry(&appIdentity, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &ep);
    }
    TW_IDENTITY given = o.identity;
    TW_UINT16 rc = o.entry(&appIdentity, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &given);
    lock.lock();
    Application* again = findApp(appIdentity.Id);
    if (rc != TWRC_SUCCESS || !again) {
        TW_STATUS status{};
        if (rc != TWRC_SUCCESS) o.entry(&appIdentity, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
        ::dlclose(o.module);
        return fail(again, rc != TWRC_SUCCESS ? status.ConditionCode : TWCC_BUMMER);
    }
    again->open.push_back(o);
    *wanted = o.identity;
    return TWRC_SUCCESS;
}

TW_UINT16 closeSource(Application& app, pTW_IDENTITY which, std::unique_lock<std::recursive_mutex>& lock) {
    auto it = std::find_if(app.open.begin(), app.open.end(),
                           [&](const OpenSource& o) { return o.identity.Id == which->Id; });
    if (it == app.open.end()) return fail(&app, TWCC_NODS);
    OpenSource o = *it;
    app.open.erase(it);
    TW_IDENTITY appIdentity = app.identity;
    lock.unlock();
    TW_UINT16 rc = o.entry(&appIdentity, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &o.identity);
    ::dlclose(o.module);
    lock.lock();
    return rc;
}

TW_UINT16 managerTriplet(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data,
                         std::unique_lock<std::recursive_mutex>& lock) {
    Application* app = findApp(origin->Id);
    if (dat == DAT_PARENT && msg == MSG_OPENDSM) {
        if (app) return fail(app, TWCC_SEQERROR);
        Application fresh;
        origin->Id = g_nextAppId++;
        fresh.identity = *origin;
        g_apps.push_back(fresh);
        Application& added = g_apps.back();
        TW_IDENTITY probeIdentity = added.identity;
        lock.unlock();
        Application probe;
        probe.identity = probeIdentity;
        std::vector<Source> sources = scanSources(probe);
        lock.lock();
        if (Application* a = findApp(probeIdentity.Id)) a->sources = std::move(sources);
        return TWRC_SUCCESS;
    }
    if (dat == DAT_STATUS && msg == MSG_GET) {
        if (!data) return TWRC_FAILURE;
        auto* status = static_cast<pTW_STATUS>(data);
        status->ConditionCode = app ? app->condition : g_lastCondition;
        status->Reserved = 0;
        if (app) app->condition = TWCC_SUCCESS;
        return TWRC_SUCCESS;
    }
    if (!app) return fail(nullptr, TWCC_SEQERROR);
    app->condition = TWCC_SUCCESS;
    if (dat == DAT_PARENT && msg == MSG_CLOSEDSM) {
        if (!app->open.empty()) return fail(app, TWCC_SEQERROR);
        TW_UINT32 id = app->identity.Id;
        g_apps.erase(std::remove_if(g_apps.begin(), g_apps.end(),
                                    [&](const Application& a) { return a.identity.Id == id; }),
                     g_apps.end());
        return TWRC_SUCCESS;
    }
    if (dat == DAT_ENTRYPOINT && msg == MSG_GET) {
        if (!data) return fail(app, TWCC_BADVALUE);
        auto* ep = static_cast<pTW_ENTRYPOINT>(data);
        ep->Size = sizeof *ep;
        ep->DSM_Entry = reinterpret_cast<DSMENTRYPROC>(::dlsym(RTLD_DEFAULT, TWAIN_DSM_ENTRY_NAME));
        ep->DSM_MemAllocate = memAllocate;
        ep->DSM_MemFree = memFree;
        ep->DSM_MemLock = memLock;
        ep->DSM_MemUnlock = memUnlock;
        return TWRC_SUCCESS;
    }
    if (dat != DAT_IDENTITY) return fail(app, TWCC_BADPROTOCOL);
    if (!data) return fail(app, TWCC_BADVALUE);
    auto* identity = static_cast<pTW_IDENTITY>(data);
    switch (msg) {
    case MSG_GETFIRST:
        app->nextSource = 0;
        [[fallthrough]];
    case MSG_GETNEXT:
        if (app->nextSource >= app->sources.size()) return TWRC_ENDOFLIST;
        *identity = app->sources[app->nextSource++].identity;
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
    case MSG_USERSELECT:
        if (app->sources.empty()) return fail(app, TWCC_NODS);
        *identity = app->sources.front().identity;
        return TWRC_SUCCESS;
    case MSG_OPENDS:
        return openSource(*app, identity, lock);
    case MSG_CLOSEDS:
        return closeSource(*app, identity, lock);
    default:
        return fail(app, TWCC_BADPROTOCOL);
    }
}

// A source's notification (DAT_NULL): origin is the source, destination the
// application it was opened by.
TW_UINT16 notification(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT16 msg,
                       std::unique_lock<std::recursive_mutex>& lock) {
    Application* app = findApp(dest->Id);
    if (!app) return TWRC_FAILURE;
    auto it = std::find_if(app->open.begin(), app->open.end(),
                           [&](const OpenSource& o) { return o.identity.Id == origin->Id; });
    if (it == app->open.end() || !it->callback) return fail(app, TWCC_BADDEST);
    DSMENTRYPROC callback = it->callback;
    TW_IDENTITY source = it->identity;
    TW_IDENTITY appIdentity = app->identity;
    lock.unlock();
    callback(&source, &appIdentity, DG_CONTROL, DAT_NULL, msg, nullptr);
    lock.lock();
    return TWRC_SUCCESS;
}

}  // namespace

DSM_API TW_UINT16 DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG, TW_UINT16 DAT,
                            TW_UINT16 MSG, TW_MEMREF pData) {
    if (!pOrigin) return TWRC_FAILURE;
    std::unique_lock<std::recursive_mutex> lock(g_lock);
    if (DAT == DAT_NULL) return pDest ? notification(pOrigin, pDest, MSG, lock) : TWRC_FAILURE;
    if (!pDest) return managerTriplet(pOrigin, DAT, MSG, pData, lock);
    Application* app = findApp(pOrigin->Id);
    if (!app) return fail(nullptr, TWCC_SEQERROR);
    auto it = std::find_if(app->open.begin(), app->open.end(),
                           [&](const OpenSource& o) { return o.identity.Id == pDest->Id; });
    if (it == app->open.end()) return fail(app, TWCC_BADDEST);
    if (DG == DG_CONTROL && DAT == DAT_CALLBACK && MSG == MSG_REGISTER_CALLBACK) {
        if (!pData) return fail(app, TWCC_BADVALUE);
        auto* cb = static_cast<pTW_CALLBACK>(pData);
        it->callback = reinterpret_cast<DSMENTRYPROC>(cb->CallBackProc);
        it->refCon = cb->RefCon;
        return TWRC_SUCCESS;
    }
    DSENTRYPROC entry = it->entry;
    lock.unlock();
    // The application's own identity record goes to the source, which keeps
    // the Id the manager assigned at MSG_OPENDSM.
    return entry(pOrigin, DG, DAT, MSG, pData);
}
