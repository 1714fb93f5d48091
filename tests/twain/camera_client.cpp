// An imaging application for the tests: loads the source manager, opens the
// camera's data source (which binds the real user library and talks to the
// cameras the test serves), and runs the steps named on its command line,
// printing one line per step for the test to check. The dialog is driven
// through the controller the script window module hands out.
//
//   pav_twain_camera_client OUTDIR STEP...
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/twain/script_view.h"
#include "twain/twain_types.h"

extern "C" TW_UINT16 DSM_Entry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

std::mutex g_lock;
std::vector<TW_UINT16> g_messages;
TW_IDENTITY g_app{};
TW_IDENTITY g_ds{};
std::string g_out;
int g_picture = 0;

TW_UINT16 onNotify(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF) {
    std::lock_guard<std::mutex> l(g_lock);
    g_messages.push_back(msg);
    return TWRC_SUCCESS;
}

TW_UINT16 ds(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return DSM_Entry(&g_app, &g_ds, dg, dat, msg, data);
}

TW_UINT16 condition() {
    TW_STATUS st{};
    ds(DG_CONTROL, DAT_STATUS, MSG_GET, &st);
    return st.ConditionCode;
}

twaintest::ScriptState* script() {
    static twaintest::ScriptState* s = [] {
        void* m = ::dlopen(std::getenv("PAV512TW_VIEW_MODULE"), RTLD_NOW | RTLD_NOLOAD);
        auto f = m ? reinterpret_cast<twaintest::ScriptState* (*)()>(::dlsym(m, "pav_script_state")) : nullptr;
        return f ? f() : nullptr;
    }();
    return s;
}

std::string join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : "|") + s;
    return out;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string modelLine() {
    pavtw::DialogModel m = script()->controller->snapshot();
    std::vector<std::string> labels;
    // Labels carry blanks; the line's fields are blank-separated.
    for (pavtw::Thumbnail t : m.thumbnails) {
        for (char& c : t.label)
            if (c == ' ') c = '_';
        labels.push_back(t.label);
    }
    std::ostringstream o;
    o << "index=" << m.cameraIndex << " name=" << m.cameraName << " thumbnails=" << m.thumbnails.size()
      << " labels=" << join(labels) << " capture=" << m.captureEnabled << " clear=" << m.clearEnabled
      << " cameras=" << join(m.cameraLabels);
    return o.str();
}

bool writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(f);
}

std::vector<std::size_t> indices(const std::string& list) {
    std::vector<std::size_t> out;
    std::stringstream s(list);
    for (std::string item; std::getline(s, item, ',');) out.push_back(std::stoul(item));
    return out;
}

void endTransfer(const char* step) {
    TW_PENDINGXFERS p{};
    TW_UINT16 rc = ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p);
    std::printf("%s-end rc=%u pending=%u\n", step, rc, p.Count);
}

int run(const std::vector<std::string>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::string& step = steps[i];
        const std::string arg = i + 1 < steps.size() ? steps[i + 1] : "";
        if (step == "mech") {
            TW_UINT16 mech = arg == "memory" ? TWSX_MEMORY : arg == "file" ? TWSX_FILE : TWSX_NATIVE;
            TW_ONEVALUE value{TWTY_UINT16, mech};
            TW_CAPABILITY cap{ICAP_XFERMECH, TWON_ONEVALUE, &value};
            say("mech rc=" + std::to_string(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap)));
            ++i;
        } else if (step == "enable") {
            TW_USERINTERFACE ui{1, 0, nullptr};
            say("enable rc=" + std::to_string(ds(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui)));
        } else if (step == "model") {
            say("model " + modelLine());
        } else if (step == "choose") {
            script()->controller->cameraChosen(std::stoul(arg));
            say("chosen " + modelLine());
            ++i;
        } else if (step == "setupmem") {
            TW_SETUPMEMXFER m{};
            TW_UINT16 rc = ds(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &m);
            std::printf("setupmem rc=%u min=%u max=%u\n", rc, m.MinBufSize, m.MaxBufSize);
        } else if (step == "capture") {
            script()->controller->setSelection(indices(arg));
            script()->controller->command(pavtw::kIdCapture);
            // The source tells the application before the press is over.
            std::unique_lock<std::mutex> l(g_lock);
            bool ready = std::find(g_messages.begin(), g_messages.end(), MSG_XFERREADY) != g_messages.end();
            g_messages.clear();
            l.unlock();
            TW_PENDINGXFERS p{};
            ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &p);
            std::printf("capture ready=%d pending=%u\n", ready ? 1 : 0, p.Count);
            ++i;
        } else if (step == "info") {
            TW_IMAGEINFO info{};
            TW_UINT16 rc = ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
            std::printf("info rc=%u width=%d height=%d bits=%d\n", rc, info.ImageWidth, info.ImageLength,
                        info.BitsPerPixel);
        } else if (step == "cancelnext") {
            script()->cancelAfterFirstBlock = true;
            script()->downloadPositions.clear();
        } else if (step == "native") {
            script()->downloadPositions.clear();
            TW_HANDLE h = nullptr;
            TW_UINT16 rc = ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h);
            TW_UINT16 cc = rc == TWRC_XFERDONE ? 0 : condition();
            std::string path = g_out + "/native-" + std::to_string(++g_picture) + ".bin";
            if (h) {
                const auto* b = static_cast<const std::uint8_t*>(h);
                std::uint32_t size = 0, image = 0;
                std::memcpy(&size, b, 4);
                std::memcpy(&image, b + 20, 4);
                writeFile(path, b, size + image);
                std::free(h);
            }
            std::printf("native rc=%u cc=%u blocks=%zu path=%s\n", rc, cc, script()->downloadPositions.size(),
                        path.c_str());
            if (rc == TWRC_XFERDONE) endTransfer("native");
        } else if (step == "memory") {
            TW_SETUPMEMXFER setup{};
            ds(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
            // One row per call: the smallest buffer the source accepts.
            std::vector<std::uint8_t> buffer(setup.MinBufSize), rgb;
            TW_IMAGEMEMXFER x{};
            x.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
            int successes = 0;
            TW_UINT16 rc;
            bool offsetsInOrder = true;
            std::uint32_t rows = 0;
            while ((rc = ds(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x)) == TWRC_SUCCESS) {
                offsetsInOrder = offsetsInOrder && x.YOffset == rows && x.Rows == 1;
                rows += x.Rows;
                rgb.insert(rgb.end(), buffer.begin(), buffer.begin() + x.BytesWritten);
                ++successes;
                if (successes > 100000) break;
            }
            std::string path = g_out + "/memory-" + std::to_string(++g_picture) + ".rgb";
            writeFile(path, rgb.data(), rgb.size());
            std::printf("memory rc=%u successes=%d final-written=%u final-yoffset=%u in-order=%d bytesperrow=%u "
                        "path=%s\n",
                        rc, successes, x.BytesWritten, x.YOffset, offsetsInOrder ? 1 : 0, x.BytesPerRow,
                        path.c_str());
            if (rc == TWRC_XFERDONE) endTransfer("memory");
        } else if (step == "file") {
            TW_SETUPFILEXFER setup{};
            std::string path = g_out + "/file-" + std::to_string(++g_picture) + ".bmp";
            std::snprintf(setup.FileName, sizeof setup.FileName, "%s", path.c_str());
            setup.Format = TWFF_BMP;
            ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup);
            TW_UINT16 rc = ds(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
            TW_UINT16 cc = rc == TWRC_XFERDONE ? 0 : condition();
            std::printf("file rc=%u cc=%u path=%s\n", rc, cc, path.c_str());
            if (rc == TWRC_XFERDONE) endTransfer("file");
        } else if (step == "reset") {
            TW_PENDINGXFERS p{};
            TW_UINT16 rc = ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &p);
            std::printf("reset rc=%u pending=%u\n", rc, p.Count);
        } else if (step == "clear") {
            script()->answerYes = arg == "yes";
            script()->controller->command(pavtw::kIdClearCamera);
            say("cleared questions=" + std::to_string(script()->questions) + " " + modelLine());
            ++i;
        } else if (step == "libraries") {
            // Where the source and the user library it bound were loaded from.
            std::ifstream maps("/proc/self/maps");
            std::string source, user;
            for (std::string l; std::getline(maps, l);) {
                auto slash = l.find('/');
                if (slash == std::string::npos) continue;
                std::string path = l.substr(slash);
                if (path.find("pav512tw.ds") != std::string::npos) source = path;
                if (path.find("libpav512u.so") != std::string::npos) user = path;
            }
            say("libraries source=" + source + " user=" + user);
        } else if (step == "watch") {
            // The dialog's timer, ticked by hand until the camera is gone.
            say("watching");
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (script()->controller->snapshot().cameraIndex != 0 && std::chrono::steady_clock::now() < end) {
                script()->controller->timerTick();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            say("watched beeps=" + std::to_string(script()->beeps) + " " + modelLine());
        } else {
            say("unknown step " + step);
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    g_out = argv[1];
    g_app.Version.MajorNum = 1;
    g_app.ProtocolMajor = 2;
    g_app.ProtocolMinor = 4;
    g_app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::snprintf(g_app.ProductName, sizeof g_app.ProductName, "camera client");
    if (DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr) != TWRC_SUCCESS) {
        say("no source manager");
        return 1;
    }
    std::snprintf(g_ds.ProductName, sizeof g_ds.ProductName, "TQM Video Camera");
    if (DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_ds) != TWRC_SUCCESS || !script() ||
        !script()->controller) {
        say("the source did not open");
        return 1;
    }
    TW_CALLBACK cb{reinterpret_cast<TW_MEMREF>(&onNotify), 0, 0};
    ds(DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &cb);
    say("opened");
    int rc = run(std::vector<std::string>(argv + 2, argv + argc));
    TW_USERINTERFACE ui{1, 0, nullptr};
    ds(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &g_ds);
    DSM_Entry(&g_app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    say("closed");
    return rc;
}
