// twain-acquire: a first check that acquisition works. Lists the data sources
// the source manager finds, opens one (the camera's by default), negotiates
// the transfer mechanism, shows the source's dialog and, when the user has
// chosen pictures and pressed Capture, takes each one by the chosen transfer
// and writes it as a BMP file.
//
//   twain-acquire [--list] [--source NAME] [--mode native|file|memory] [--out PREFIX]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "twain/twain_types.h"

extern "C" TW_UINT16 DSM_Entry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

std::mutex g_lock;
std::condition_variable g_wake;
std::vector<TW_UINT16> g_messages;

TW_UINT16 onNotify(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF) {
    if (dat != DAT_NULL) return TWRC_FAILURE;
    std::lock_guard<std::mutex> l(g_lock);
    g_messages.push_back(msg);
    g_wake.notify_all();
    return TWRC_SUCCESS;
}

TW_IDENTITY g_app{};

TW_UINT16 conditionOf(pTW_IDENTITY ds) {
    TW_STATUS st{};
    DSM_Entry(&g_app, ds, DG_CONTROL, DAT_STATUS, MSG_GET, &st);
    return st.ConditionCode;
}

void put16(std::FILE* f, std::uint16_t v) { std::fwrite(&v, 2, 1, f); }
void put32(std::FILE* f, std::uint32_t v) { std::fwrite(&v, 4, 1, f); }

// Writes top-down RGB rows as a bottom-up BGR bitmap file.
bool writeRgb(const std::string& path, std::uint32_t w, std::uint32_t h, const std::vector<std::uint8_t>& rgb) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::uint32_t padded = (w * 3 + 3) & ~3u;
    std::fwrite("BM", 1, 2, f);
    put32(f, 54 + padded * h);
    put32(f, 0);
    put32(f, 54);
    put32(f, 40);
    put32(f, w);
    put32(f, h);
    put16(f, 1);
    put16(f, 24);
    for (int i = 0; i < 6; ++i) put32(f, i == 1 ? padded * h : 0);
    std::vector<std::uint8_t> row(padded, 0);
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint8_t* src = rgb.data() + static_cast<std::size_t>(h - 1 - y) * w * 3;
        for (std::uint32_t x = 0; x < w; ++x) {
            row[3 * x] = src[3 * x + 2];
            row[3 * x + 1] = src[3 * x + 1];
            row[3 * x + 2] = src[3 * x];
        }
        std::fwrite(row.data(), 1, padded, f);
    }
    return std::fclose(f) == 0;
}

// A native transfer's block: info header + bottom-up BGR rows, unpadded.
bool writeNative(const std::string& path, const std::uint8_t* block) {
    std::int32_t w, h;
    std::memcpy(&w, block + 4, 4);
    std::memcpy(&h, block + 8, 4);
    if (w <= 0 || h <= 0) return false;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const std::uint8_t* p = block + 40 + (static_cast<std::size_t>(h - 1 - y) * w + x) * 3;
            std::uint8_t* q = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
        }
    return writeRgb(path, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), rgb);
}

int usage() {
    std::fprintf(stderr, "usage: twain-acquire [--list] [--source NAME] [--mode native|file|memory] [--out PREFIX]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool listOnly = false;
    std::string sourceName = "TQM Video Camera", mode = "native", prefix = "picture";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--list") listOnly = true;
        else if (a == "--source" && i + 1 < argc) sourceName = argv[++i];
        else if (a == "--mode" && i + 1 < argc) mode = argv[++i];
        else if (a == "--out" && i + 1 < argc) prefix = argv[++i];
        else return usage();
    }
    TW_UINT16 mech = mode == "native" ? TWSX_NATIVE : mode == "file" ? TWSX_FILE : mode == "memory" ? TWSX_MEMORY : 0xFFFF;
    if (mech == 0xFFFF) return usage();

    g_app.Version.MajorNum = 1;
    g_app.Version.Language = TWLG_USA;
    g_app.Version.Country = TWCY_USA;
    std::snprintf(g_app.Version.Info, sizeof g_app.Version.Info, "1.0");
    g_app.ProtocolMajor = 2;
    g_app.ProtocolMinor = 4;
    g_app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::snprintf(g_app.Manufacturer, sizeof g_app.Manufacturer, "PAV512");
    std::snprintf(g_app.ProductFamily, sizeof g_app.ProductFamily, "tools");
    std::snprintf(g_app.ProductName, sizeof g_app.ProductName, "twain-acquire");
    if (DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr) != TWRC_SUCCESS) {
        std::fprintf(stderr, "the source manager did not open\n");
        return 1;
    }
    TW_IDENTITY id{};
    int found = 0;
    for (TW_UINT16 rc = DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id); rc == TWRC_SUCCESS;
         rc = DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id)) {
        std::printf("source %u: %s (%s, %s) protocol %u.%u\n", id.Id, id.ProductName, id.Manufacturer,
                    id.Version.Info, id.ProtocolMajor, id.ProtocolMinor);
        ++found;
    }
    if (found == 0) std::printf("no data source found\n");
    if (listOnly || found == 0) {
        DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
        return found ? 0 : 1;
    }

    TW_IDENTITY ds{};
    std::snprintf(ds.ProductName, sizeof ds.ProductName, "%s", sourceName.c_str());
    if (DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds) != TWRC_SUCCESS) {
        std::fprintf(stderr, "cannot open \"%s\" (condition %u)\n", sourceName.c_str(), conditionOf(nullptr));
        DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
        return 1;
    }
    TW_CALLBACK cb{reinterpret_cast<TW_MEMREF>(&onNotify), 0, 0};
    DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &cb);

    TW_ONEVALUE value{TWTY_UINT16, mech};
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_ONEVALUE, &value};
    if (DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap) != TWRC_SUCCESS)
        std::fprintf(stderr, "transfer mechanism refused (condition %u)\n", conditionOf(&ds));

    int status = 0;
    TW_USERINTERFACE ui{1, 0, nullptr};
    if (DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        std::fprintf(stderr, "the source's dialog did not open (condition %u)\n", conditionOf(&ds));
        status = 1;
    } else {
        std::printf("choose pictures in the dialog and press Capture, or Close to end\n");
        for (bool done = false; !done;) {
            TW_UINT16 msg;
            {
                std::unique_lock<std::mutex> l(g_lock);
                g_wake.wait(l, [] { return !g_messages.empty(); });
                msg = g_messages.front();
                g_messages.erase(g_messages.begin());
            }
            if (msg == MSG_CLOSEDSREQ) break;
            if (msg != MSG_XFERREADY) continue;
            TW_PENDINGXFERS pending{};
            int n = 0;
            do {
                std::string path = prefix + "-" + std::to_string(++n) + ".bmp";
                TW_IMAGEINFO info{};
                DSM_Entry(&g_app, &ds, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
                TW_UINT16 rc = TWRC_FAILURE;
                if (mech == TWSX_NATIVE) {
                    TW_HANDLE h = nullptr;
                    rc = DSM_Entry(&g_app, &ds, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h);
                    if (rc == TWRC_XFERDONE && h) {
                        if (!writeNative(path, static_cast<std::uint8_t*>(h))) rc = TWRC_FAILURE;
                        std::free(h);
                    }
                } else if (mech == TWSX_FILE) {
                    TW_SETUPFILEXFER setup{};
                    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", path.c_str());
                    setup.Format = TWFF_BMP;
                    DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
                    rc = DSM_Entry(&g_app, &ds, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
                } else {
                    TW_SETUPMEMXFER setup{};
                    DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
                    std::vector<std::uint8_t> buffer(setup.Preferred ? setup.Preferred * 16 : 65536);
                    std::vector<std::uint8_t> rgb;
                    TW_IMAGEMEMXFER x{};
                    x.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
                    while ((rc = DSM_Entry(&g_app, &ds, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x)) == TWRC_SUCCESS)
                        rgb.insert(rgb.end(), buffer.begin(), buffer.begin() + x.BytesWritten);
                    if (rc == TWRC_XFERDONE &&
                        !writeRgb(path, static_cast<std::uint32_t>(info.ImageWidth),
                                  static_cast<std::uint32_t>(rgb.size() / 3 / (info.ImageWidth ? info.ImageWidth : 1)), rgb))
                        rc = TWRC_FAILURE;
                }
                if (rc == TWRC_XFERDONE)
                    std::printf("%s: %d x %d, %d bits per pixel\n", path.c_str(), info.ImageWidth, info.ImageLength,
                                info.BitsPerPixel);
                else
                    std::fprintf(stderr, "picture %d failed (condition %u)\n", n, conditionOf(&ds)), status = 1;
                if (DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS) break;
            } while (pending.Count != 0);
            done = false;
        }
        DSM_Entry(&g_app, &ds, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds);
    DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    return status;
}
