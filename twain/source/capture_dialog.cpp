#include "twain/source/capture_dialog.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/user/registry_api.h"
#include "twain/source/source_strings.h"

namespace pavtw {

const std::vector<ControlSpec> kCaptureControls = {
    {kIdTwainControls, kGroupBox, 5, 5, 70, 50, "TWAIN Controls", "TWAINControls"},
    {kIdCapture, kPushButton, 10, 15, 60, 14, "C&apture", "Capture"},
    {kIdClose, kPushButton, 10, 35, 60, 14, "&Close", "Close"},
    {kIdCameraSettings, kGroupBox, 80, 5, 190, 50, "Camera Controls", "CameraSettings"},
    {kIdCameraChoice, kDropDown, 85, 15, 50, 45, "", nullptr},
    {kIdCameraName, kEditBox, 145, 15, 120, 14, "", nullptr},
    {kIdGetPictures, kPushButton, 95, 35, 75, 14, "&Get Pictures", "GetPictures"},
    {kIdClearCamera, kPushButton, 180, 35, 75, 14, "Cl&ear Camera", "ClearCamera"},
    {kIdLogo, kStaticBitmap, 275, 10, 55, 45, "", nullptr},
    {kIdThumbnails, kListView, 7, 60, 323, 122, "", nullptr},
};

const std::vector<ControlSpec> kProgressControls = {
    {kIdProgressText, kStaticText, 5, 5, 175, 13, "Uploading Image", "UploadingImage"},
    {kIdPressCancel, kStaticText, 5, 25, 175, 13, "Press Cancel to stop", "PressCancel"},
    {kIdProgressBar, kProgressBar, 5, 45, 175, 14, "", nullptr},
    {kIdReadBytes, kStaticText, 5, 60, 175, 13, "Read x Bytes", nullptr},
    {kIdProgressCancel, kPushButton, 63, 80, 60, 15, "&Cancel", "Cancel"},
};

namespace {

constexpr char kBaseKey[] = "Software\\Veltra\\USB Camera (PAV512)";
std::uint32_t g_lastCamera = 0;  // the camera chosen last in this process

bool readDword(HKEY key, const char* name, DWORD* value) {
    DWORD type = 0, size = sizeof *value;
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof *value;
}

}  // namespace

std::string DialogModel::caption(int id) const {
    for (const auto& c : captions)
        if (c.first == id) return c.second;
    return {};
}

std::string fillNumber(const std::string& format, std::uint32_t number) {
    std::string out;
    bool filled = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            char c = format[i + 1];
            if (!filled && (c == 'd' || c == 'i' || c == 'u')) {
                out += std::to_string(number);
                filled = true;
                ++i;
                continue;
            }
            if (c == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

ScalingSettings readScalingSettings() {
    ScalingSettings s;
    std::string path = std::string(kBaseKey) + "\\" + kProductName + "\\Scaling";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
    DWORD on = 0, percent = 0;
    bool haveOn = readDword(key, "ScalingOn", &on);
    bool havePercent = readDword(key, "ScalingPercent", &percent);
    RegCloseKey(key);
    s.on = haveOn && on != 0 && havePercent;
    s.percent = havePercent ? percent : 100;
    return s;
}

std::vector<std::uint8_t> readLogo(const std::string& moduleDirectory) {
    std::string path = std::string(kBaseKey) + "\\OEM\\" + kProductName;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    char name[261] = {};
    DWORD type = 0, size = 260;
    LSTATUS st = RegQueryValueExA(key, "CompanyLogo", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (st != ERROR_SUCCESS || type != REG_SZ || name[0] == '\0') return {};
    std::string file = name[0] == '/' ? std::string(name) : moduleDirectory + name;
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return {};
    BitmapInfoHeader h;
    std::memcpy(&h, bytes.data() + 14, sizeof h);
    // Only what the file really holds is kept: a header that claims more
    // pixels than follow it is refused.
    if (h.biSize != 40 || h.biBitCount != 24 || h.biWidth <= 0 || h.biHeight <= 0 || h.biWidth > 4096 ||
        h.biHeight > 4096)
        return {};
    std::size_t stride = (static_cast<std::size_t>(h.biWidth) * 3 + 3) & ~std::size_t{3};
    std::size_t image = h.biSizeImage ? h.biSizeImage : stride * h.biHeight;
    if (image < stride * h.biHeight || bytes.size() - 54 < image) return {};
    return std::vector<std::uint8_t>(bytes.begin() + 14, bytes.begin() + 54 + static_cast<std::ptrdiff_t>(image));
}

CaptureDialog::CaptureDialog(DialogHost host) : host_(std::move(host)) {
    camera_ = std::make_unique<StillCamera>(this);
    for (const ControlSpec& c : kCaptureControls) model_.captions.emplace_back(c.id, c.text);
    model_.progressText = "Uploading Image";
    model_.pressCancelText = "Press Cancel to stop";
    model_.cancelText = "&Cancel";
    applyLanguage();
}

CaptureDialog::~CaptureDialog() {
    view_.reset();  // the window goes before the camera it shows
    camera_.reset();
}

void CaptureDialog::setView(std::unique_ptr<DialogView> view) {
    view_ = std::move(view);
    changed();
}

void CaptureDialog::changed() {
    if (view_) view_->modelChanged();
}

void CaptureDialog::applyLanguage() {
    const StringTable& t = sourceStrings();
    for (auto& c : model_.captions)
        for (const ControlSpec& s : kCaptureControls)
            if (s.id == c.first && s.key) c.second = t.text(s.key);
    model_.pressCancelText = t.text("PressCancel");
    model_.cancelText = t.text("Cancel");
    model_.languages.clear();
    for (std::uint32_t i = 0; i < t.languageCount(); ++i) model_.languages.emplace_back(t.languageName(i));
    model_.language = t.currentLanguage();
    changed();
}

void CaptureDialog::languageChanged(std::uint32_t language) {
    if (sourceStrings().selectLanguage(language)) applyLanguage();
}

void CaptureDialog::open() {
    camera_->setScaling(readScalingSettings());
    camera_->refreshCameraList();
    std::size_t wanted = 0;
    for (std::size_t i = 1; i < camera_->cameras().size(); ++i)
        if (camera_->cameras()[i].number == g_lastCamera && g_lastCamera != 0) wanted = i;
    rebuildCameraChoice();
    if (wanted) cameraChosen(wanted);
    updateEnabling();
    changed();
}

void CaptureDialog::setLogo(std::vector<std::uint8_t> logo) {
    model_.logo = std::move(logo);
    changed();
}

bool CaptureDialog::show() {
    if (!view_ || !view_->show()) return false;
    model_.visible = true;
    changed();
    return true;
}

void CaptureDialog::hide() {
    if (view_) view_->hide();
    model_.visible = false;
    model_.timerRunning = false;
}

void CaptureDialog::rebuildCameraChoice() {
    model_.cameraLabels.clear();
    for (const CameraEntry& e : camera_->cameras()) model_.cameraLabels.emplace_back(e.label);
    model_.cameraIndex = camera_->currentIndex();
}

void CaptureDialog::updateEnabling() {
    bool selected = camera_->cameraSelected();
    bool pictures = selected && !model_.thumbnails.empty();
    model_.getPicturesEnabled = selected;
    model_.captureEnabled = pictures;
    model_.clearEnabled = pictures;
    model_.listVisible = selected;
}

void CaptureDialog::cameraListOpened() {
    camera_->refreshCameraList();
    rebuildCameraChoice();
    changed();
}

void CaptureDialog::cameraChosen(std::size_t index) {
    if (!camera_->selectCamera(index)) camera_->selectCamera(0);
    g_lastCamera = camera_->cameras()[camera_->currentIndex()].number;
    model_.cameraIndex = camera_->currentIndex();
    model_.timerRunning = true;
    model_.thumbnails.clear();
    model_.selected.clear();
    model_.cameraName = camera_->cameras()[camera_->currentIndex()].deviceName;
    getPictures();
}

void CaptureDialog::cameraNameEdited(const std::string& text) {
    std::string name = text.substr(0, 32);
    if (camera_->renameCamera(camera_->currentIndex(), name)) model_.cameraName = name;
    changed();
}

void CaptureDialog::getPictures() {
    model_.thumbnails.clear();
    model_.selected.clear();
    if (camera_->cameraSelected() && camera_->listPictures()) {
        const std::size_t count = camera_->pictures().size();
        cancel_ = false;
        model_.progressText = sourceStrings().text("UploadingThumbnails");
        model_.progressRange = static_cast<std::uint32_t>(count);
        model_.progressStep = 1;
        model_.progressPosition = 0;
        model_.progressVisible = count > 0;
        changed();
        for (std::size_t i = 0; i < count && !cancel_; ++i) {
            Thumbnail t;
            std::int32_t w = 0, h = 0;
            if (!camera_->thumbnail(i, &t.block) || !camera_->pictureSize(i, &w, &h)) break;
            camera_->scaledSize(&w, &h);
            char label[64];
            std::snprintf(label, sizeof label, "%zu (%dx%d)", i + 1, w, h);
            t.label = label;
            model_.thumbnails.push_back(std::move(t));
            model_.selected.push_back(false);
            model_.progressPosition = static_cast<std::uint32_t>(i + 1);
            changed();
        }
        model_.progressVisible = false;
    }
    updateEnabling();
    changed();
}

void CaptureDialog::clearCamera() {
    if (!view_) return;
    if (!view_->askYesNo(sourceStrings().text("AreYouSure"), kProductName)) return;
    camera_->clearCamera();
    getPictures();
}

void CaptureDialog::capture() {
    std::uint16_t n = 0;
    for (bool s : model_.selected) n += s ? 1 : 0;
    if (host_.capture) host_.capture(n);
}

void CaptureDialog::close() {
    if (host_.closeRequested) host_.closeRequested();
}

void CaptureDialog::timerTick() {
    if (!camera_->pollCameraState()) return;
    if (view_) view_->beep();
    camera_->refreshCameraList();
    camera_->selectCamera(0);
    g_lastCamera = 0;
    rebuildCameraChoice();
    model_.cameraName.clear();
    model_.thumbnails.clear();
    model_.selected.clear();
    updateEnabling();
    changed();
}

void CaptureDialog::setSelection(const std::vector<std::size_t>& indices) {
    model_.selected.assign(model_.thumbnails.size(), false);
    for (std::size_t i : indices)
        if (i < model_.selected.size()) model_.selected[i] = true;
    changed();
}

std::vector<std::size_t> CaptureDialog::selection() const {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < model_.selected.size(); ++i)
        if (model_.selected[i]) out.push_back(i);
    return out;
}

void CaptureDialog::deselect(std::size_t index) {
    if (index < model_.selected.size()) model_.selected[index] = false;
    changed();
}

void CaptureDialog::progressBegin(std::uint32_t pictureNumber, std::uint32_t range, std::uint32_t step) {
    cancel_ = false;
    model_.progressText = fillNumber(sourceStrings().text("UploadingImage"), pictureNumber);
    model_.progressRange = range;
    model_.progressStep = step;
    model_.progressPosition = 0;
    model_.progressVisible = true;
    changed();
}

void CaptureDialog::progressSet(std::uint32_t position) {
    model_.progressPosition = position;
    changed();
}

void CaptureDialog::progressEnd() {
    model_.progressVisible = false;
    changed();
}

void CaptureDialog::messageBox(const std::string& text) {
    if (view_) view_->messageBox(text, kProductName);
}

}  // namespace pavtw
