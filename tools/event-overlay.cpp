// korvale-inspect: a visual inspector for host developers. It follows the real desktop through
// the library, as a host would, lists every event with its JSON as it arrives, and outlines the
// rectangle of each "text_select" and "alt_enter_pressed" on the screen itself, so whether the
// bounds are right on one's own displays is seen at a glance.
//
// The outline lives in an undecorated, override-redirect window covering the whole screen, shaped
// to the outline's pixels (so it needs no compositor) and with an empty input shape (so every
// click goes through to the application under it). X11 only, like the library's Linux backend.
#include <gtk/gtk.h>
#include <glib-unix.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>

#include "Korvale.h"

namespace {

using json = nlohmann::json;

// One outlined rectangle, in screen pixels (top-left origin), as the library reported it.
struct Outline {
    std::string event;
    double x, y, width, height;
};

struct Options {
    double seconds = 0;  // 0: until closed
    int keep = 1;        // outlines kept per event name
    int windowX = -1, windowY = -1;
    std::string blockedApps, blockedFields = "{}";
};

// The outline's frame lies outside the rectangle, leaving the reported pixels themselves visible.
constexpr int kGap = 2;
constexpr int kThickness = 3;

struct Inspector {
    Options options;
    GtkWidget* window = nullptr;
    GtkTextBuffer* log = nullptr;
    GtkWidget* logView = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* overlay = nullptr;
    std::deque<Outline> outlines;
    gint64 started = 0;
    int events = 0;
};

Inspector* inspector = nullptr;

double secondsSinceStart() { return double(g_get_monotonic_time() - inspector->started) / 1e6; }

// The frame around one outline: the ring between two rectangles, in whole pixels.
void frameRects(const Outline& o, cairo_rectangle_int_t& outer, cairo_rectangle_int_t& inner) {
    int x0 = int(std::floor(o.x)), y0 = int(std::floor(o.y));
    int x1 = int(std::ceil(o.x + o.width)), y1 = int(std::ceil(o.y + o.height));
    inner = {x0 - kGap, y0 - kGap, x1 - x0 + 2 * kGap, y1 - y0 + 2 * kGap};
    outer = {inner.x - kThickness, inner.y - kThickness, inner.width + 2 * kThickness,
             inner.height + 2 * kThickness};
}

void colourOf(const std::string& event, cairo_t* cr) {
    // Colours no theme uses, so the outline is told apart from everything under it.
    if (event == "text_select") cairo_set_source_rgb(cr, 1.0, 0.0, 1.0);  // magenta
    else cairo_set_source_rgb(cr, 0.0, 1.0, 1.0);                        // cyan
}

gboolean drawOverlay(GtkWidget*, cairo_t* cr, gpointer) {
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    for (const Outline& o : inspector->outlines) {
        cairo_rectangle_int_t outer, inner;
        frameRects(o, outer, inner);
        colourOf(o.event, cr);
        cairo_rectangle(cr, outer.x, outer.y, outer.width, outer.height);
        cairo_rectangle(cr, inner.x, inner.y, inner.width, inner.height);
        cairo_fill(cr);
    }
    return TRUE;
}

// Shapes the overlay to the frames of the outlines kept and shows it, or hides it when none.
void updateOverlay() {
    GtkWidget* overlay = inspector->overlay;
    if (inspector->outlines.empty()) {
        gtk_widget_hide(overlay);
        return;
    }
    cairo_region_t* shape = cairo_region_create();
    for (const Outline& o : inspector->outlines) {
        cairo_rectangle_int_t outer, inner;
        frameRects(o, outer, inner);
        cairo_region_t* ring = cairo_region_create_rectangle(&outer);
        cairo_region_subtract_rectangle(ring, &inner);
        cairo_region_union(shape, ring);
        cairo_region_destroy(ring);
    }
    gtk_widget_shape_combine_region(overlay, shape);
    cairo_region_destroy(shape);
    gtk_widget_show(overlay);
    // Click-through: the input shape is set once the window exists, and again after every map.
    cairo_region_t* none = cairo_region_create();
    gtk_widget_input_shape_combine_region(overlay, none);
    cairo_region_destroy(none);
    gdk_window_raise(gtk_widget_get_window(overlay));
    gtk_widget_queue_draw(overlay);
}

GtkWidget* makeOverlay() {
    GtkWidget* overlay = gtk_window_new(GTK_WINDOW_POPUP);
    gtk_window_set_decorated(GTK_WINDOW(overlay), FALSE);
    gtk_window_set_accept_focus(GTK_WINDOW(overlay), FALSE);
    gtk_widget_set_app_paintable(overlay, TRUE);
    GdkWindow* root = gdk_get_default_root_window();
    // The root window spans every monitor: screen coordinates are window coordinates.
    gtk_window_move(GTK_WINDOW(overlay), 0, 0);
    gtk_window_resize(GTK_WINDOW(overlay), gdk_window_get_width(root), gdk_window_get_height(root));
    g_signal_connect(overlay, "draw", G_CALLBACK(drawOverlay), nullptr);
    return overlay;
}

void appendLog(const std::string& line) {
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(inspector->log, &end);
    gtk_text_buffer_insert(inspector->log, &end, line.c_str(), -1);
    // A long session keeps the latest 2000 lines.
    int excess = gtk_text_buffer_get_line_count(inspector->log) - 2000;
    if (excess > 0) {
        GtkTextIter from, to;
        gtk_text_buffer_get_start_iter(inspector->log, &from);
        gtk_text_buffer_get_iter_at_line(inspector->log, &to, excess);
        gtk_text_buffer_delete(inspector->log, &from, &to);
    }
    gtk_text_buffer_get_end_iter(inspector->log, &end);
    GtkTextMark* mark = gtk_text_buffer_create_mark(inspector->log, nullptr, &end, FALSE);
    gtk_text_view_scroll_mark_onscreen(GTK_TEXT_VIEW(inspector->logView), mark);
    gtk_text_buffer_delete_mark(inspector->log, mark);
}

// The rectangle of an event's data, when it has a usable one.
bool rectangleOf(const json& data, Outline& o) {
    const json* pos = data.contains("position") ? &data["position"] : nullptr;
    const json* size = data.contains("size") ? &data["size"] : nullptr;
    if (!pos || !size || !pos->is_object() || !size->is_object()) return false;
    auto number = [](const json& j, const char* key, double& out) {
        if (!j.contains(key) || !j[key].is_number()) return false;
        out = j[key].get<double>();
        return std::isfinite(out);
    };
    return number(*pos, "x", o.x) && number(*pos, "y", o.y) && number(*size, "width", o.width) &&
           number(*size, "height", o.height) && o.width >= 0 && o.height >= 0 && o.width < 1e6 &&
           o.height < 1e6 && std::fabs(o.x) < 1e6 && std::fabs(o.y) < 1e6;
}

// The host callback: runs on the main thread while GTK's loop (the default GLib context) runs.
void onEvent(const char* name, const char* text) {
    inspector->events++;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%9.3f", secondsSinceStart());
    std::printf("EVENT %s %s %s\n", stamp, name, text);
    appendLog(std::string(stamp) + "  " + name + "  " + text + "\n");
    std::string event = name;
    if (event != "text_select" && event != "alt_enter_pressed") {
        std::fflush(stdout);
        return;
    }
    json data = json::parse(text, nullptr, false);
    Outline o{event, 0, 0, 0, 0};
    if (data.is_discarded() || !rectangleOf(data, o)) {
        std::fflush(stdout);
        return;
    }
    // The newest outline of each event replaces the oldest beyond --keep.
    int same = 0;
    for (auto it = inspector->outlines.rbegin(); it != inspector->outlines.rend(); ++it) same += it->event == event;
    if (same >= inspector->options.keep)
        for (auto it = inspector->outlines.begin(); it != inspector->outlines.end(); ++it)
            if (it->event == event) {
                inspector->outlines.erase(it);
                break;
            }
    inspector->outlines.push_back(o);
    updateOverlay();
    char line[160];
    std::snprintf(line, sizeof line, "%s: x %.1f  y %.1f  width %.1f  height %.1f", name, o.x, o.y,
                  o.width, o.height);
    gtk_label_set_text(GTK_LABEL(inspector->status), line);
    std::printf("OUTLINE %s %.1f %.1f %.1f %.1f\n", name, o.x, o.y, o.width, o.height);
    std::fflush(stdout);
}

gboolean quit(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

GtkWidget* makeWindow() {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Korvale inspector");
    gtk_window_set_default_size(GTK_WINDOW(window), 760, 360);
    if (inspector->options.windowX >= 0)
        gtk_window_move(GTK_WINDOW(window), inspector->options.windowX, inspector->options.windowY);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    inspector->status = gtk_label_new("Waiting for a text_select or alt_enter_pressed ...");
    gtk_label_set_xalign(GTK_LABEL(inspector->status), 0);
    gtk_label_set_selectable(GTK_LABEL(inspector->status), TRUE);
    inspector->logView = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(inspector->logView), FALSE);
    gtk_text_view_set_monospace(GTK_TEXT_VIEW(inspector->logView), TRUE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(inspector->logView), GTK_WRAP_CHAR);
    inspector->log = gtk_text_view_get_buffer(GTK_TEXT_VIEW(inspector->logView));
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(scroll), inspector->logView);
    gtk_box_pack_start(GTK_BOX(box), inspector->status, FALSE, FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer) {
                         inspector->window = nullptr;  // closed by the user: GTK has destroyed it
                         gtk_main_quit();
                     }),
                     nullptr);
    return window;
}

int usage() {
    std::fprintf(stderr,
                 "usage: korvale-inspect [--seconds N] [--keep N] [--window-at X Y]\n"
                 "                       [--blocked-apps JSON-ARRAY] [--blocked-fields JSON-OBJECT]\n"
                 "Follows the applications of this X display, lists each event with its JSON and\n"
                 "outlines the rectangle of every text_select (magenta) and alt_enter_pressed (cyan)\n"
                 "on the screen. Also prints EVENT and OUTLINE lines on standard output.\n");
    return 2;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto number = [&](double& out, double low, double high) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            out = std::strtod(argv[++i], &end);
            return *end == '\0' && std::isfinite(out) && out >= low && out <= high;
        };
        double v = 0, w = 0;
        if (a == "--seconds") {
            if (!number(v, 0.001, 4e6)) return false;
            o.seconds = v;
        } else if (a == "--keep") {
            if (!number(v, 1, 100)) return false;
            o.keep = int(v);
        } else if (a == "--window-at") {
            if (!number(v, 0, 1e5) || !number(w, 0, 1e5)) return false;
            o.windowX = int(v), o.windowY = int(w);
        } else if ((a == "--blocked-apps" || a == "--blocked-fields") && i + 1 < argc) {
            std::string value = argv[++i];
            json parsed = json::parse(value, nullptr, false);
            bool apps = a == "--blocked-apps";
            if (apps ? !parsed.is_array() : !parsed.is_object()) return false;
            (apps ? o.blockedApps : o.blockedFields) = value;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return usage();
    const char* backend = std::getenv("KORVALE_BACKEND");
    if (backend && std::strcmp(backend, "sim") == 0) {
        std::fprintf(stderr, "korvale-inspect: follows the real desktop; unset KORVALE_BACKEND=sim\n");
        return 2;
    }
    // The inspector's own windows stay off the accessibility bus, so the library never follows
    // them (nor shares this process's accessibility connection with GTK's bridge).
    g_setenv("NO_AT_BRIDGE", "1", TRUE);
    // Screen coordinates and shaped, click-through windows: X11.
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "korvale-inspect: cannot open the X display (DISPLAY=%s)\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 2;
    }
    Inspector state;
    state.options = options;
    state.started = g_get_monotonic_time();
    inspector = &state;

    if (!isAccessibiltyEnabled()) {
        std::fprintf(stderr, "korvale-inspect: the library finds no accessibility service on this desktop\n");
        return 1;
    }
    state.overlay = makeOverlay();
    state.window = makeWindow();
    gtk_widget_show_all(state.window);
    g_unix_signal_add(SIGINT, quit, nullptr);
    g_unix_signal_add(SIGTERM, quit, nullptr);
    if (options.seconds > 0) g_timeout_add(guint(options.seconds * 1000), quit, nullptr);

    initMacAccessibility(&onEvent);
    start(options.blockedFields.c_str());
    if (!options.blockedApps.empty()) addBlockedApps(options.blockedApps.c_str());
    std::printf("following display %s\n", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
    std::fflush(stdout);

    gtk_main();
    std::printf("stopped after %.1f s: %d events\n", secondsSinceStart(), state.events);
    // The library may deliver after this; with no callback it keeps the event to itself.
    initMacAccessibility(nullptr);
    if (state.window) gtk_widget_destroy(state.window);
    gtk_widget_destroy(state.overlay);
    inspector = nullptr;
    return 0;
}
