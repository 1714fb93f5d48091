#include "twain/source/gtk_view.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace pavtw {

namespace {

// --- the UI thread ---

std::once_flag g_started;
bool g_gtkReady = false;
std::mutex g_startLock;
std::condition_variable g_startWake;
bool g_startDone = false;
std::thread::id g_uiThread;

void startUiThread() {
    std::call_once(g_started, [] {
        std::thread([] {
            bool ok = gtk_init_check(nullptr, nullptr);
            {
                std::lock_guard<std::mutex> l(g_startLock);
                g_gtkReady = ok;
                g_startDone = true;
                g_uiThread = std::this_thread::get_id();
            }
            g_startWake.notify_all();
            if (ok) gtk_main();
        }).detach();
        std::unique_lock<std::mutex> l(g_startLock);
        g_startWake.wait(l, [] { return g_startDone; });
    });
}

bool onUiThread() { return std::this_thread::get_id() == g_uiThread; }

struct Job {
    std::function<void()> work;
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    bool wait = false;
};

gboolean runJob(gpointer data) {
    auto* job = static_cast<Job*>(data);
    job->work();
    if (job->wait) {
        std::lock_guard<std::mutex> l(job->lock);
        job->done = true;
        job->wake.notify_all();
    } else {
        delete job;
    }
    return G_SOURCE_REMOVE;
}

// Runs `work` on the UI thread; waits for it when asked to.
void onUi(std::function<void()> work, bool wait) {
    if (!g_gtkReady) return;
    if (onUiThread()) {
        work();
        return;
    }
    if (!wait) {
        auto* job = new Job;
        job->work = std::move(work);
        gdk_threads_add_idle(runJob, job);
        return;
    }
    Job job;
    job.work = std::move(work);
    job.wait = true;
    gdk_threads_add_idle(runJob, &job);
    std::unique_lock<std::mutex> l(job.lock);
    job.wake.wait(l, [&] { return job.done; });
}

// The window's commands run on a thread of their own, in the order the user
// gave them: each takes the source's lock and may run long (the thumbnails of
// a camera, a clear), and the UI thread must stay free meanwhile to draw the
// progress and take the press of Cancel. The UI thread itself never waits
// for the source's lock. The state is shared with the thread, so a window
// closed from one of its own commands can let the thread finish that command
// and end on its own.
class CommandThread {
  public:
    CommandThread() : state_(std::make_shared<State>()) {
        thread_ = std::thread([s = state_] { run(s); });
    }
    ~CommandThread() {
        {
            std::lock_guard<std::mutex> l(state_->lock);
            state_->stop = true;
            state_->jobs.clear();
        }
        state_->wake.notify_all();
        if (std::this_thread::get_id() == thread_.get_id()) thread_.detach();
        else thread_.join();
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> l(state_->lock);
            if (state_->stop) return;
            state_->jobs.push_back(std::move(job));
        }
        state_->wake.notify_all();
    }
    // Waits until every command posted so far has run.
    void drain() {
        if (std::this_thread::get_id() == thread_.get_id()) return;
        std::unique_lock<std::mutex> l(state_->lock);
        state_->idle.wait(l, [&] { return state_->stop || (state_->jobs.empty() && !state_->busy); });
    }

  private:
    struct State {
        std::mutex lock;
        std::condition_variable wake, idle;
        std::deque<std::function<void()>> jobs;
        bool busy = false;
        bool stop = false;
    };
    static void run(std::shared_ptr<State> s) {
        std::unique_lock<std::mutex> l(s->lock);
        for (;;) {
            s->wake.wait(l, [&] { return s->stop || !s->jobs.empty(); });
            if (s->stop) break;
            std::function<void()> job = std::move(s->jobs.front());
            s->jobs.pop_front();
            s->busy = true;
            l.unlock();
            job();
            job = nullptr;
            l.lock();
            s->busy = false;
            s->idle.notify_all();
        }
        s->idle.notify_all();
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

std::string mnemonic(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += '_';
        else if (c == '_') out += "__";
        else out += c;
    }
    return out;
}

GdkPixbuf* pixbufFromBlock(const std::uint8_t* block, std::size_t size) {
    if (size < 40) return nullptr;
    std::int32_t w, h;
    std::memcpy(&w, block + 4, 4);
    std::memcpy(&h, block + 8, 4);
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096) return nullptr;
    // Rows of the block may be padded (bitmap files) or not (camera blocks).
    std::size_t unpadded = static_cast<std::size_t>(w) * 3;
    std::size_t padded = (unpadded + 3) & ~std::size_t{3};
    std::size_t stride = size - 40 >= padded * h ? padded : unpadded;
    if (size - 40 < stride * h) return nullptr;
    GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, w, h);
    guchar* dst = gdk_pixbuf_get_pixels(pb);
    int dstStride = gdk_pixbuf_get_rowstride(pb);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* src = block + 40 + static_cast<std::size_t>(h - 1 - y) * stride;
        for (int x = 0; x < w; ++x) {
            dst[y * dstStride + 3 * x] = src[3 * x + 2];
            dst[y * dstStride + 3 * x + 1] = src[3 * x + 1];
            dst[y * dstStride + 3 * x + 2] = src[3 * x];
        }
    }
    return pb;
}

class GtkWindowView : public DialogView {
  public:
    explicit GtkWindowView(DialogController* controller) : controller_(controller) {
        startUiThread();
        commands_ = std::make_unique<CommandThread>();
        onUi([this] { build(); }, true);
    }
    ~GtkWindowView() override {
        // A command waiting on a question gets No, and the commands end
        // before the widgets they draw on go.
        closing_ = true;
        onUi([this] {
            if (question_) gtk_dialog_response(GTK_DIALOG(question_), GTK_RESPONSE_NO);
        }, false);
        commands_.reset();
        onUi([this] {
            if (timer_) g_source_remove(timer_);
            timer_ = 0;
            if (progress_) gtk_widget_destroy(progress_);
            if (window_) gtk_widget_destroy(window_);
            if (logo_) g_object_unref(logo_);
            window_ = progress_ = nullptr;
        }, true);
    }

    bool show() override {
        if (!g_gtkReady || !window_) return false;
        onUi([this] {
            gtk_widget_show_all(window_);
            render();
        }, false);
        return true;
    }
    void hide() override {
        onUi([this] {
            if (window_) gtk_widget_hide(window_);
            if (progress_) gtk_widget_hide(progress_);
        }, false);
    }
    void modelChanged() override {
        // The caller holds the source's lock, so the model is read here and
        // drawn later on the UI thread, which never waits for that lock to draw.
        {
            std::lock_guard<std::mutex> l(modelLock_);
            model_ = controller_->snapshot();
            if (renderQueued_) return;
            renderQueued_ = true;
        }
        onUi([this] { render(); }, false);
    }
    bool askYesNo(const std::string& text, const std::string& caption) override {
        bool yes = false;
        onUi([&] {
            GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                                    GTK_BUTTONS_YES_NO, "%s", text.c_str());
            gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
            question_ = box;
            yes = gtk_dialog_run(GTK_DIALOG(box)) == GTK_RESPONSE_YES;
            question_ = nullptr;
            gtk_widget_destroy(box);
        }, true);
        return yes;
    }
    void messageBox(const std::string& text, const std::string& caption) override {
        onUi([this, text, caption] {
            GtkWidget* box = gtk_message_dialog_new(window_ ? GTK_WINDOW(window_) : nullptr, GTK_DIALOG_MODAL,
                                                    GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", text.c_str());
            gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
            g_signal_connect(box, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
            gtk_widget_show(box);
        }, false);
    }
    void beep() override {
        onUi([this] {
            if (window_) gtk_widget_error_bell(window_);
        }, false);
    }

    bool geometry(int dialog, int id, ControlGeometry* out) override {
        bool ok = false;
        onUi([&] {
            auto& map = dialog == kCaptureDialogId ? controls_ : progressControls_;
            auto it = map.find(id);
            if (it == map.end()) return;
            GtkAllocation a;
            gtk_widget_get_allocation(it->second, &a);
            out->x = a.x;
            out->y = a.y;
            out->width = a.width;
            out->height = a.height;
            out->visible = gtk_widget_get_visible(it->second) && gtk_widget_get_mapped(it->second);
            ok = true;
        }, true);
        return ok;
    }
    bool screenshot(int dialog, const std::string& path) override {
        bool ok = false;
        onUi([&] {
            GtkWidget* w = dialog == kCaptureDialogId ? window_ : progress_;
            GdkWindow* gw = w ? gtk_widget_get_window(w) : nullptr;
            if (!gw || !gtk_widget_get_mapped(w)) return;
            GdkPixbuf* pb = gdk_pixbuf_get_from_window(gw, 0, 0, gdk_window_get_width(gw), gdk_window_get_height(gw));
            if (!pb) return;
            ok = gdk_pixbuf_save(pb, path.c_str(), "png", nullptr, nullptr);
            g_object_unref(pb);
        }, true);
        return ok;
    }
    bool click(int id) override {
        GtkWidget* button = nullptr;
        onUi([&] {
            auto find = [&](std::map<int, GtkWidget*>& map) -> GtkWidget* {
                auto it = map.find(id);
                return it == map.end() ? nullptr : it->second;
            };
            GtkWidget* w = find(controls_);
            if (!w || !GTK_IS_BUTTON(w)) w = find(progressControls_);
            if (w && GTK_IS_BUTTON(w) && gtk_widget_is_sensitive(w)) button = w;
        }, true);
        // Pressed without waiting: the command may hold a question open.
        if (button)
            onUi([button] { gtk_button_clicked(GTK_BUTTON(button)); }, false);
        return button != nullptr;
    }
    bool answerQuestion(bool yes) override {
        bool ok = false;
        onUi([&] {
            if (!question_) return;
            gtk_dialog_response(GTK_DIALOG(question_), yes ? GTK_RESPONSE_YES : GTK_RESPONSE_NO);
            ok = true;
        }, true);
        return ok;
    }
    bool selectThumbnails(const std::vector<std::size_t>& indices) override {
        bool ok = true;
        onUi([&] {
            GtkIconView* icons = GTK_ICON_VIEW(controls_[kIdThumbnails]);
            gtk_icon_view_unselect_all(icons);
            for (std::size_t i : indices) {
                GtkTreePath* p = gtk_tree_path_new_from_indices(static_cast<int>(i), -1);
                gtk_icon_view_select_path(icons, p);
                gtk_tree_path_free(p);
            }
        }, true);
        return ok;
    }
    std::size_t thumbnailCount() override {
        std::size_t n = 0;
        onUi([&] { n = static_cast<std::size_t>(gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store_), nullptr)); }, true);
        return n;
    }
    bool showProgressForInspection(bool on) override {
        onUi([&] {
            inspecting_ = on;
            if (on) gtk_widget_show_all(progress_);
            else gtk_widget_hide(progress_);
            gtk_widget_hide(progressControls_[kIdReadBytes]);
        }, true);
        return true;
    }
    bool chooseLanguage(std::size_t index) override {
        bool ok = false;
        onUi([&] {
            GtkComboBox* box = GTK_COMBO_BOX(controls_[kIdLanguage]);
            GtkTreeModel* model = gtk_combo_box_get_model(box);
            if (static_cast<int>(index) >= gtk_tree_model_iter_n_children(model, nullptr)) return;
            gtk_combo_box_set_active(box, static_cast<int>(index));
            ok = true;
        }, true);
        return ok;
    }
    std::string widgetText(int dialog, int id) override {
        std::string text;
        onUi([&] {
            auto& map = dialog == kCaptureDialogId ? controls_ : progressControls_;
            auto it = map.find(id);
            if (it == map.end()) return;
            GtkWidget* w = it->second;
            const char* t = nullptr;
            if (GTK_IS_FRAME(w)) t = gtk_frame_get_label(GTK_FRAME(w));
            else if (GTK_IS_BUTTON(w)) t = gtk_button_get_label(GTK_BUTTON(w));
            else if (GTK_IS_LABEL(w)) t = gtk_label_get_text(GTK_LABEL(w));
            if (t) text = t;
        }, true);
        return text;
    }
    void sync() override {
        // Rounds: what one round's handlers and commands queued runs in the next.
        for (int round = 0; round < 3; ++round) {
            onUi([] {
                gdk_display_sync(gdk_display_get_default());
                while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
            }, true);
            if (commands_) commands_->drain();
        }
    }

  private:
    GtkWidget* place(GtkWidget* fixed, std::map<int, GtkWidget*>& map, const ControlSpec& c, GtkWidget* w) {
        gtk_widget_set_size_request(w, units_.x(c.width), units_.y(c.height));
        gtk_fixed_put(GTK_FIXED(fixed), w, units_.x(c.x), units_.y(c.y));
        map[c.id] = w;
        return w;
    }

    void build() {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window_), kProductName);
        gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
        g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                             static_cast<GtkWindowView*>(self)->later([](DialogController* c) { c->command(kIdClose); });
                             return TRUE;
                         }), this);
        // The dialog's controls where its template puts them, and below them
        // the language switch.
        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_container_add(GTK_CONTAINER(window_), column);
        fixed_ = gtk_fixed_new();
        gtk_box_pack_start(GTK_BOX(column), fixed_, FALSE, FALSE, 0);
        GtkWidget* language = gtk_combo_box_text_new();
        gtk_widget_set_halign(language, GTK_ALIGN_END);
        gtk_widget_set_margin_end(language, units_.x(7));
        gtk_widget_set_margin_bottom(language, units_.y(3));
        g_signal_connect(language, "changed", G_CALLBACK(+[](GtkComboBox* box, gpointer self) {
                             auto* v = static_cast<GtkWindowView*>(self);
                             if (v->rendering_) return;
                             int i = gtk_combo_box_get_active(box);
                             if (i >= 0)
                                 v->later([i](DialogController* c) { c->languageChosen(static_cast<std::size_t>(i)); });
                         }), this);
        gtk_box_pack_start(GTK_BOX(column), language, FALSE, FALSE, 0);
        controls_[kIdLanguage] = language;
        for (const ControlSpec& c : kCaptureControls) {
            GtkWidget* w = nullptr;
            switch (c.kind) {
            case kGroupBox:
                w = gtk_frame_new(c.text);
                break;
            case kPushButton:
                w = gtk_button_new_with_mnemonic(mnemonic(c.text).c_str());
                g_object_set_data(G_OBJECT(w), "pav-id", GINT_TO_POINTER(c.id));
                g_signal_connect(w, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer self) {
                                     int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "pav-id"));
                                     static_cast<GtkWindowView*>(self)->later([id](DialogController* c) { c->command(id); });
                                 }), this);
                break;
            case kDropDown:
                w = gtk_combo_box_text_new();
                g_signal_connect(w, "changed", G_CALLBACK(+[](GtkComboBox* box, gpointer self) {
                                     auto* v = static_cast<GtkWindowView*>(self);
                                     if (v->rendering_) return;
                                     int i = gtk_combo_box_get_active(box);
                                     if (i >= 0)
                                         v->later([i](DialogController* c) { c->cameraChosen(static_cast<std::size_t>(i)); });
                                 }), this);
                g_signal_connect(w, "notify::popup-shown", G_CALLBACK(+[](GObject* box, GParamSpec*, gpointer self) {
                                     gboolean shown = FALSE;
                                     g_object_get(box, "popup-shown", &shown, nullptr);
                                     if (shown)
                                         static_cast<GtkWindowView*>(self)->later(
                                             [](DialogController* c) { c->cameraListOpened(); });
                                 }), this);
                // The drop-down's height in the template includes its list.
                gtk_widget_set_size_request(w, units_.x(c.width), units_.y(14));
                gtk_fixed_put(GTK_FIXED(fixed_), w, units_.x(c.x), units_.y(c.y));
                controls_[c.id] = w;
                continue;
            case kEditBox:
                w = gtk_entry_new();
                gtk_entry_set_max_length(GTK_ENTRY(w), 32);
                gtk_entry_set_width_chars(GTK_ENTRY(w), 1);
                g_signal_connect(w, "focus-out-event", G_CALLBACK(+[](GtkWidget* e, GdkEvent*, gpointer self) -> gboolean {
                                     std::string text = gtk_entry_get_text(GTK_ENTRY(e));
                                     static_cast<GtkWindowView*>(self)->later(
                                         [text](DialogController* c) { c->cameraNameEdited(text); });
                                     return FALSE;
                                 }), this);
                break;
            case kStaticBitmap:
                w = gtk_drawing_area_new();
                g_signal_connect(w, "draw", G_CALLBACK(+[](GtkWidget* area, cairo_t* cr, gpointer self) -> gboolean {
                                     static_cast<GtkWindowView*>(self)->drawLogo(area, cr);
                                     return FALSE;
                                 }), this);
                break;
            case kListView: {
                store_ = gtk_list_store_new(2, GDK_TYPE_PIXBUF, G_TYPE_STRING);
                GtkWidget* icons = gtk_icon_view_new_with_model(GTK_TREE_MODEL(store_));
                gtk_icon_view_set_pixbuf_column(GTK_ICON_VIEW(icons), 0);
                gtk_icon_view_set_text_column(GTK_ICON_VIEW(icons), 1);
                gtk_icon_view_set_selection_mode(GTK_ICON_VIEW(icons), GTK_SELECTION_MULTIPLE);
                gtk_icon_view_set_item_width(GTK_ICON_VIEW(icons), 90);
                g_signal_connect(icons, "selection-changed", G_CALLBACK(+[](GtkIconView* iv, gpointer self) {
                                     auto* v = static_cast<GtkWindowView*>(self);
                                     if (v->rendering_) return;
                                     std::vector<std::size_t> chosen;
                                     GList* paths = gtk_icon_view_get_selected_items(iv);
                                     for (GList* p = paths; p; p = p->next)
                                         chosen.push_back(static_cast<std::size_t>(
                                             gtk_tree_path_get_indices(static_cast<GtkTreePath*>(p->data))[0]));
                                     g_list_free_full(paths, reinterpret_cast<GDestroyNotify>(gtk_tree_path_free));
                                     std::sort(chosen.begin(), chosen.end());
                                     v->later([chosen](DialogController* c) { c->setSelection(chosen); });
                                 }), this);
                g_signal_connect(icons, "item-activated", G_CALLBACK(+[](GtkIconView*, GtkTreePath*, gpointer self) {
                                     static_cast<GtkWindowView*>(self)->later(
                                         [](DialogController* c) { c->command(kIdCapture); });
                                 }), this);
                scroller_ = gtk_scrolled_window_new(nullptr, nullptr);
                gtk_container_add(GTK_CONTAINER(scroller_), icons);
                controls_[c.id] = icons;
                gtk_fixed_put(GTK_FIXED(fixed_), scroller_, 10, units_.y(60));
                continue;
            }
            default:
                continue;
            }
            place(fixed_, controls_, c, w);
        }
        buildProgress();
    }

    void buildProgress() {
        progress_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(progress_), kProductName);
        gtk_window_set_transient_for(GTK_WINDOW(progress_), GTK_WINDOW(window_));
        gtk_window_set_resizable(GTK_WINDOW(progress_), FALSE);
        gtk_window_set_default_size(GTK_WINDOW(progress_), units_.x(kProgressWidthDu), units_.y(kProgressHeightDu));
        g_signal_connect(progress_, "delete-event", G_CALLBACK(gtk_true), nullptr);
        GtkWidget* fixed = gtk_fixed_new();
        gtk_widget_set_size_request(fixed, units_.x(kProgressWidthDu), units_.y(kProgressHeightDu));
        gtk_container_add(GTK_CONTAINER(progress_), fixed);
        for (const ControlSpec& c : kProgressControls) {
            GtkWidget* w;
            if (c.kind == kStaticText) {
                w = gtk_label_new(c.text);
                gtk_label_set_xalign(GTK_LABEL(w), 0);
            } else if (c.kind == kProgressBar) {
                w = gtk_progress_bar_new();
            } else {
                w = gtk_button_new_with_mnemonic(mnemonic(c.text).c_str());
                g_signal_connect(w, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                                     static_cast<GtkWindowView*>(self)->controller_->cancel();
                                 }), this);
            }
            place(fixed, progressControls_, c, w);
        }
    }

    void drawLogo(GtkWidget* area, cairo_t* cr) {
        if (!logo_) return;
        int w = gtk_widget_get_allocated_width(area), h = gtk_widget_get_allocated_height(area);
        GdkPixbuf* scaled = gdk_pixbuf_scale_simple(logo_, w, h, GDK_INTERP_HYPER);
        gdk_cairo_set_source_pixbuf(cr, scaled, 0, 0);
        cairo_paint(cr);
        g_object_unref(scaled);
    }

    void render() {
        DialogModel m;
        {
            std::lock_guard<std::mutex> l(modelLock_);
            renderQueued_ = false;
            m = model_;
        }
        if (!window_) return;
        rendering_ = true;
        for (const ControlSpec& c : kCaptureControls) {
            if (!c.key) continue;
            GtkWidget* w = controls_[c.id];
            std::string text = m.caption(c.id);
            if (c.kind == kGroupBox) gtk_frame_set_label(GTK_FRAME(w), text.c_str());
            else gtk_button_set_label(GTK_BUTTON(w), mnemonic(text).c_str());
        }
        GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(controls_[kIdCameraChoice]);
        if (m.cameraLabels != shownCameras_) {
            gtk_combo_box_text_remove_all(combo);
            for (const std::string& s : m.cameraLabels) gtk_combo_box_text_append_text(combo, s.c_str());
            shownCameras_ = m.cameraLabels;
        }
        if (gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) != static_cast<int>(m.cameraIndex))
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), static_cast<int>(m.cameraIndex));
        GtkComboBoxText* languages = GTK_COMBO_BOX_TEXT(controls_[kIdLanguage]);
        if (m.languages != shownLanguages_) {
            gtk_combo_box_text_remove_all(languages);
            for (const std::string& s : m.languages) gtk_combo_box_text_append_text(languages, s.c_str());
            shownLanguages_ = m.languages;
        }
        if (!m.languages.empty() && gtk_combo_box_get_active(GTK_COMBO_BOX(languages)) != static_cast<int>(m.language))
            gtk_combo_box_set_active(GTK_COMBO_BOX(languages), static_cast<int>(m.language));
        gtk_widget_set_visible(GTK_WIDGET(languages), !m.languages.empty());
        GtkEntry* entry = GTK_ENTRY(controls_[kIdCameraName]);
        if (!gtk_widget_has_focus(GTK_WIDGET(entry)) && m.cameraName != gtk_entry_get_text(entry))
            gtk_entry_set_text(entry, m.cameraName.c_str());
        gtk_widget_set_sensitive(controls_[kIdCapture], m.captureEnabled);
        gtk_widget_set_sensitive(controls_[kIdClearCamera], m.clearEnabled);
        gtk_widget_set_sensitive(controls_[kIdGetPictures], m.getPicturesEnabled);
        // Thumbnails: the list only grows while pictures load, so new ones are
        // appended; anything else rebuilds it.
        std::size_t shown = static_cast<std::size_t>(gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store_), nullptr));
        if (shown > m.thumbnails.size() || (shown && shownFirstLabel_ != m.thumbnails[0].label)) {
            gtk_list_store_clear(store_);
            shown = 0;
        }
        for (std::size_t i = shown; i < m.thumbnails.size(); ++i) {
            GdkPixbuf* pb = pixbufFromBlock(m.thumbnails[i].block.data(), m.thumbnails[i].block.size());
            GtkTreeIter it;
            gtk_list_store_append(store_, &it);
            gtk_list_store_set(store_, &it, 0, pb, 1, m.thumbnails[i].label.c_str(), -1);
            if (pb) g_object_unref(pb);
        }
        shownFirstLabel_ = m.thumbnails.empty() ? "" : m.thumbnails[0].label;
        GtkIconView* icons = GTK_ICON_VIEW(controls_[kIdThumbnails]);
        for (std::size_t i = 0; i < m.selected.size() && i < m.thumbnails.size(); ++i) {
            GtkTreePath* p = gtk_tree_path_new_from_indices(static_cast<int>(i), -1);
            if (m.selected[i]) gtk_icon_view_select_path(icons, p);
            else gtk_icon_view_unselect_path(icons, p);
            gtk_tree_path_free(p);
        }
        if (!m.logo.empty() && !logo_) logo_ = pixbufFromBlock(m.logo.data() - 0 + 0, m.logo.size());
        // Layout: the list below the controls when a camera is chosen; the
        // window ends at the camera group when there is no logo.
        int width = units_.x(logo_ ? kCaptureWidthDu : 275);
        int controlsHeight = units_.y(60);
        gtk_widget_set_visible(controls_[kIdLogo], logo_ != nullptr);
        if (m.listVisible) {
            gtk_widget_set_size_request(scroller_, width - 20, 200);
            gtk_widget_show_all(scroller_);
            gtk_widget_set_size_request(fixed_, width, controlsHeight + 200 + 10);
        } else {
            gtk_widget_hide(scroller_);
            gtk_widget_set_size_request(fixed_, width, controlsHeight);
        }
        gtk_window_resize(GTK_WINDOW(window_), 1, 1);
        if (m.timerRunning && !timer_)
            timer_ = g_timeout_add(200, +[](gpointer self) -> gboolean {
                // Ticks do not pile up behind a long command.
                auto* v = static_cast<GtkWindowView*>(self);
                if (!v->tickQueued_.exchange(true))
                    v->later([v](DialogController* c) {
                        v->tickQueued_ = false;
                        c->timerTick();
                    });
                return G_SOURCE_CONTINUE;
            }, this);
        // Progress dialog.
        gtk_label_set_text(GTK_LABEL(progressControls_[kIdProgressText]), m.progressText.c_str());
        gtk_label_set_text(GTK_LABEL(progressControls_[kIdPressCancel]), m.pressCancelText.c_str());
        gtk_button_set_label(GTK_BUTTON(progressControls_[kIdProgressCancel]), mnemonic(m.cancelText).c_str());
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progressControls_[kIdProgressBar]),
                                      m.progressRange ? static_cast<double>(m.progressPosition) / m.progressRange : 0);
        if (m.progressVisible && gtk_widget_get_visible(window_)) {
            gtk_widget_show_all(progress_);
            gtk_widget_hide(progressControls_[kIdReadBytes]);
        } else if (!m.progressVisible && !inspecting_) {
            gtk_widget_hide(progress_);
        }
        rendering_ = false;
    }

    // Runs `work` on the command thread with the controller.
    void later(std::function<void(DialogController*)> work) {
        if (closing_ || !commands_) return;
        DialogController* c = controller_;
        commands_->post([c, work = std::move(work)] { work(c); });
    }

    DialogController* controller_;
    std::unique_ptr<CommandThread> commands_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> tickQueued_{false};
    DialogUnits units_;
    GtkWidget* window_ = nullptr;
    GtkWidget* fixed_ = nullptr;
    GtkWidget* scroller_ = nullptr;
    GtkWidget* progress_ = nullptr;
    GtkWidget* question_ = nullptr;
    GtkListStore* store_ = nullptr;
    GdkPixbuf* logo_ = nullptr;
    std::map<int, GtkWidget*> controls_, progressControls_;
    std::vector<std::string> shownCameras_, shownLanguages_;
    std::string shownFirstLabel_;
    guint timer_ = 0;
    bool rendering_ = false;
    bool inspecting_ = false;
    std::mutex modelLock_;
    DialogModel model_;
    bool renderQueued_ = false;
};

}  // namespace

DialogView* makeGtkWindow(DialogController* controller) {
    auto* view = new GtkWindowView(controller);
    if (!g_gtkReady) {
        delete view;
        return nullptr;
    }
    return view;
}

}  // namespace pavtw
