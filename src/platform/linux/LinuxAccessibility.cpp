// The accessibility service over AT-SPI. Reads are synchronous D-Bus calls to
// the other application, each checked through its GError (a failed call may leave garbage in its
// result). Error codes are mapped to the ones the library tells apart: no value (-25212), an
// attribute the element does not have (-25205), a failed call (-25204), a vanished element
// (-25202). AT-SPI events become observer notifications and workspace notifications; X11 adds
// the window moves and resizes AT-SPI does not report. `requests` counts every libatspi call that
// may reach another process, for the figures in docs/linux.md.
#include "platform/linux/LinuxAccessibility.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "platform/linux/AtspiCalls.h"
#include "platform/linux/LinuxMainLoop.h"

namespace korvale::platform::linuxdesk {

bool processExists(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

namespace {

// ----- offsets: AT-SPI code points <-> UTF-16 units of the library ----------------------------

int64_t utf16Units(const char* utf8, int64_t codePoints) {
    int64_t units = 0;
    const char* p = utf8;
    for (int64_t i = 0; i < codePoints && *p; ++i) {
        gunichar c = g_utf8_get_char(p);
        units += c >= 0x10000 ? 2 : 1;
        p = g_utf8_next_char(p);
    }
    return units;
}

int64_t totalUnits(const char* utf8) { return utf16Units(utf8, g_utf8_strlen(utf8, -1)); }

// ----- calls ---------------------------------------------------------------------------------

// Whether the process behind an element has ended. Its elements are then invalid (-25202), as on
// the original platform: libatspi lets requests to an application that left the bus fail without
// a word, which would read as "cannot complete" (busy) or as an attribute the element lacks.
// Asked of the kernel, not of the bus: no round trip.
bool processEnded(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

// ----- what is known without asking -----------------------------------------------------------
// Every read is a round trip to another process, so what cannot change is asked once: the process
// behind a bus name (a unique name is never given to another process while the bus lives) and
// an element's role (with the line state that picks the text role). What can change is kept for
// one main-loop dispatch only (the handlers of one user action read the same selection several
// times), and dropped sooner when an event says the element changed.

std::string keyOf(AtspiAccessible* acc) {
    auto* obj = reinterpret_cast<AtspiObject*>(acc);
    std::string key = obj->app && obj->app->bus_name ? obj->app->bus_name : "";
    if (obj->path) key += obj->path;
    return key;
}

struct StaticFacts {
    std::map<std::string, pid_t> pidByBusName;
    struct Role {
        std::string name;
        bool secure = false;  // a password entry
        AtspiRole atspi = ATSPI_ROLE_INVALID;
    };
    std::map<std::string, Role> roleByElement;
    // Whether an element can be edited (see editable()).
    std::map<std::string, bool> editableByElement;
    void clear() {
        pidByBusName.clear();
        roleByElement.clear();
        editableByElement.clear();
    }
};
StaticFacts facts;

// Editability changes are announced (state-changed:editable, :read-only) and listened to; while
// they are not, editability is asked anew in every dispatch.
bool editabilityFollowed = false;
// Announcements heard so far: an answer that a newer announcement may have outdated is not kept.
unsigned long editabilityAnnouncements = 0;

// Bounded: elements come and go for as long as the host runs.
constexpr std::size_t kMaxRememberedElements = 4096;

struct DispatchEntry {
    std::optional<std::pair<int64_t, int64_t>> selection;  // code points
    std::optional<std::string> selectedText;                // the text of `selection`
    bool noSelection = false;  // asked, and there was none (the caret not asked)
    bool layoutChecked = false;  // its text layout's length was compared this dispatch
    // The screen rectangle last answered, for a range in code points: an element registered
    // for itself and heard through its application runs the handler twice in one dispatch.
    std::optional<std::pair<std::pair<int64_t, int64_t>, ObjectRef>> extents;
    GRef<AtspiStateSet> states;
    // The UTF-16 range last answered for the selection, with its code points beside it, so a
    // range asked back needs no text to convert.
    std::optional<std::pair<CFRange, std::pair<int64_t, int64_t>>> range;
    // The children, once asked; and what lies below the element (every descendant, each
    // before its own), when a query of an ancestor told it: an element with nothing below has
    // no children, and its children's own share of it is known without asking.
    std::optional<std::vector<GRef<AtspiAccessible>>> children;
    std::optional<std::vector<std::string>> below;
};
std::map<std::string, DispatchEntry> dispatchCache;
bool dropScheduled = false;

DispatchEntry& dispatchEntry(AtspiAccessible* acc) {
    if (!dropScheduled) {
        dropScheduled = true;
        // Runs once the dispatch that is reading has ended.
        g_idle_add_full(G_PRIORITY_HIGH, [](gpointer) -> gboolean {
            dispatchCache.clear();
            dropScheduled = false;
            return G_SOURCE_REMOVE;
        }, nullptr, nullptr);
    }
    return dispatchCache[keyOf(acc)];
}

std::shared_ptr<const AtspiElement> elementFor(AtspiAccessible* acc, bool application = false) {
    if (!acc) return nullptr;
    AtspiBus::instance().revive(acc);
    auto* app = reinterpret_cast<AtspiObject*>(acc)->app;
    const std::string busName = app && app->bus_name ? app->bus_name : "";
    pid_t pid = 0;
    if (auto it = facts.pidByBusName.find(busName); it != facts.pidByBusName.end() && !busName.empty()) {
        pid = it->second;
    } else {
        // The process of a bus name is asked of the bus, not of the application.
        AtspiCall call(nullptr);
        if (call) {
            pid = atspi_accessible_get_process_id(acc, call.err());
            if (!call.ok()) pid = 0;
            else if (!busName.empty()) facts.pidByBusName[busName] = pid;
        }
    }
    return std::make_shared<AtspiElement>(GRef<AtspiAccessible>::retain(acc), pid, application);
}

AtspiAccessible* accessibleOf(AtspiText* text) { return reinterpret_cast<AtspiAccessible*>(text); }

// One interface of an element (`get` is libatspi's getter for it), or none. Which interfaces an
// element has is asked of the application once; libatspi keeps the answer.
template <class Interface>
GRef<Interface> interfaceOf(AtspiAccessible* acc, Interface* (*get)(AtspiAccessible*)) {
    if (acc->cached_properties & ATSPI_CACHE_INTERFACES) return GRef<Interface>::adopt(get(acc));
    AtspiCall call(acc);
    if (!call) return {};
    auto found = GRef<Interface>::adopt(get(acc));
    call.okIf(acc->cached_properties & ATSPI_CACHE_INTERFACES);
    return found;
}

GRef<AtspiText> textOf(AtspiAccessible* acc) { return interfaceOf(acc, atspi_accessible_get_text_iface); }

GRef<AtspiEditableText> editableTextOf(AtspiAccessible* acc) {
    if (!textOf(acc) && !(acc->cached_properties & ATSPI_CACHE_INTERFACES)) return {};
    return GRef<AtspiEditableText>::adopt(atspi_accessible_get_editable_text_iface(acc));
}

std::optional<std::string> wholeText(AtspiText* text) {
    AtspiCall call(accessibleOf(text));
    if (!call) return std::nullopt;
    GCharOwner s(atspi_text_get_text(text, 0, -1, call.err()));
    if (!call.ok() || !s) return std::nullopt;
    AtspiBus::instance().textReceived(std::strlen(s.get()));
    return std::string(s.get());
}

// ----- where the characters beyond the Basic Multilingual Plane are --------------------------
// AT-SPI counts code points, the library UTF-16 units; the two differ by one for each character
// beyond U+FFFF (an emoji) before an offset. Where those characters are is learnt once per element
// from its whole text and kept current from its text-change events, so converting an offset
// needs neither the text before it nor a request: a selection at the end of a long document
// costs what one at its start costs.
struct TextLayout {
    int64_t length = 0;           // in code points
    std::vector<int64_t> astral;  // code-point offsets of the characters beyond U+FFFF, ascending

    int64_t units(int64_t codePoints) const {
        return codePoints + (std::lower_bound(astral.begin(), astral.end(), codePoints) - astral.begin());
    }
    // The first code point at or after `units` (a unit inside a pair counts its character in).
    int64_t codePoints(int64_t units) const {
        int64_t lo = 0, hi = length;
        while (lo < hi) {
            int64_t mid = lo + (hi - lo) / 2;
            if (this->units(mid) < units) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }
};
std::map<std::string, TextLayout> layouts;
constexpr std::size_t kMaxLayouts = 64;

void addAstral(TextLayout& layout, const char* utf8, int64_t at) {
    std::vector<int64_t> added;
    for (const char* p = utf8; *p; p = g_utf8_next_char(p), ++at)
        if (g_utf8_get_char(p) >= 0x10000) added.push_back(at);
    if (added.empty()) return;
    layout.astral.insert(std::lower_bound(layout.astral.begin(), layout.astral.end(), added.front()), added.begin(),
                         added.end());
}

// The layout of an element's text: from the whole text the first time, then kept current from
// its change events. Those may come after a read that already shows the change, so the length is
// compared with the element's once per dispatch (one small request): a change not yet heard of,
// or counted twice, costs a fresh read, never a wrong offset.
const TextLayout* layoutOf(AtspiText* text) {
    const std::string key = keyOf(accessibleOf(text));
    if (auto it = layouts.find(key); it != layouts.end()) {
        if (dispatchEntry(accessibleOf(text)).layoutChecked) return &it->second;
        AtspiCall call(accessibleOf(text));
        if (!call) return nullptr;
        gint n = atspi_text_get_character_count(text, call.err());
        if (!call.ok()) return nullptr;
        // Looked up again: the request may have let events in.
        it = layouts.find(key);
        if (it == layouts.end()) return nullptr;
        if (n == it->second.length) {
            dispatchEntry(accessibleOf(text)).layoutChecked = true;
            return &it->second;
        }
        layouts.erase(it);
    }
    auto all = wholeText(text);
    if (!all) return nullptr;
    if (layouts.size() >= kMaxLayouts) layouts.clear();
    TextLayout layout;
    layout.length = g_utf8_strlen(all->c_str(), -1);
    addAstral(layout, all->c_str(), 0);
    dispatchEntry(accessibleOf(text)).layoutChecked = true;
    return &(layouts[key] = std::move(layout));
}

// Text inserted or deleted in an element whose layout is known.
void textChanged(const AtspiEvent& event, bool inserted) {
    auto it = layouts.find(keyOf(event.source));
    if (it == layouts.end()) return;
    TextLayout& layout = it->second;
    const int64_t at = event.detail1, n = event.detail2;
    const char* added = inserted && G_VALUE_HOLDS_STRING(&event.any_data) ? g_value_get_string(&event.any_data) : nullptr;
    // What cannot be applied for sure is read again when next needed.
    if (at < 0 || n < 0 || (inserted && (!added || g_utf8_strlen(added, -1) != n)) ||
        at > layout.length || (!inserted && at + n > layout.length)) {
        layouts.erase(it);
        return;
    }
    auto from = std::lower_bound(layout.astral.begin(), layout.astral.end(), at);
    if (!inserted) from = layout.astral.erase(from, std::lower_bound(from, layout.astral.end(), at + n));
    for (auto p = from; p != layout.astral.end(); ++p) *p += inserted ? n : -n;
    if (inserted) addAstral(layout, added, at);
    layout.length += inserted ? n : -n;
}

// The text between two code-point offsets: one request, the size of the range.
std::optional<std::string> textBetween(AtspiText* text, int64_t start, int64_t end) {
    AtspiCall call(accessibleOf(text));
    if (!call) return std::nullopt;
    GCharOwner s(atspi_text_get_text(text, gint(start), gint(end), call.err()));
    if (!call.ok() || !s) return std::nullopt;
    AtspiBus::instance().textReceived(std::strlen(s.get()));
    return std::string(s.get());
}

// Platform quirk: libatspi dispatches incoming events while it waits for a reply, and an event
// drops its element's entry. So no entry is held across a request: it is looked up again after.
GRef<AtspiStateSet> statesOf(AtspiAccessible* acc) {
    if (auto known = dispatchEntry(acc).states) return known;
    AtspiCall call(acc);
    if (!call) return {};
    auto set = GRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(acc));
    if (!call.okIf(set && !call.ranOut())) return {};
    dispatchEntry(acc).states = set;
    return set;
}

bool hasState(AtspiAccessible* acc, AtspiStateType state) {
    auto set = statesOf(acc);
    return set && atspi_state_set_contains(set.get(), state);
}

// Whether the element can be edited. Read on every selection, yet it changes rarely and toolkits
// announce the change: remembered per element until an announcement for it is heard, and asked
// again whenever the element gains the focus, so a toolkit that changes it without a word is
// caught up at the next focus.
bool editable(AtspiAccessible* acc) {
    const std::string key = keyOf(acc);
    if (auto it = facts.editableByElement.find(key); it != facts.editableByElement.end()) return it->second;
    const unsigned long heard = editabilityAnnouncements;
    auto set = statesOf(acc);
    if (!set) return false;
    const bool answer = atspi_state_set_contains(set.get(), ATSPI_STATE_EDITABLE);
    if (editabilityFollowed && heard == editabilityAnnouncements) {
        if (facts.editableByElement.size() >= kMaxRememberedElements) facts.editableByElement.clear();
        facts.editableByElement[key] = answer;
    }
    return answer;
}

void forgetEditability(AtspiAccessible* acc) {
    facts.editableByElement.erase(keyOf(acc));
    ++editabilityAnnouncements;
}

// The selection or, without one, an empty range at the caret; in code points. `caretToo`
// false: without a selection, (0, 0) stands for "none" and the caret is not asked.
std::optional<std::pair<int64_t, int64_t>> selectionCodePoints(AtspiText* text, bool caretToo = true) {
    const auto known = dispatchEntry(accessibleOf(text)).selection;
    if (known && (caretToo || known->first != known->second)) return known;
    if (!known && !caretToo && dispatchEntry(accessibleOf(text)).noSelection) return std::pair<int64_t, int64_t>{0, 0};
    if (!known && !dispatchEntry(accessibleOf(text)).noSelection) {
        // Selection 0 is asked directly: an empty or failed answer means there is none, which
        // saves asking how many there are.
        AtspiCall call(accessibleOf(text));
        if (!call) return std::nullopt;
        AtspiRange* r = atspi_text_get_selection(text, 0, call.err());
        std::unique_ptr<AtspiRange, decltype(&g_free)> owned(r, g_free);
        const bool answered = call.ok() && r;
        if (!answered && call.ranOut()) return std::nullopt;
        if (answered && r->start_offset != r->end_offset) {
            std::pair<int64_t, int64_t> selection{std::min(r->start_offset, r->end_offset),
                                                  std::max(r->start_offset, r->end_offset)};
            dispatchEntry(accessibleOf(text)).selection = selection;
            return selection;
        }
        // Remembered: the handler runs twice for an element registered for itself and heard
        // through its application, and a caret move would ask twice.
        dispatchEntry(accessibleOf(text)).noSelection = true;
        if (!caretToo) return std::pair<int64_t, int64_t>{0, 0};
    }
    AtspiCall call(accessibleOf(text));
    if (!call) return std::nullopt;
    gint caret = atspi_text_get_caret_offset(text, call.err());
    if (!call.ok()) return std::nullopt;
    std::pair<int64_t, int64_t> atCaret{caret, caret};
    dispatchEntry(accessibleOf(text)).selection = atCaret;
    return atCaret;
}

std::string roleName(AtspiAccessible* acc, bool application, AXError* code, bool* secure);

// The element's AT-SPI role, remembered with its role name (asked at most once).
AtspiRole atspiRole(AtspiAccessible* acc) {
    AXError code = kAXErrorSuccess;
    roleName(acc, false, &code, nullptr);
    auto it = facts.roleByElement.find(keyOf(acc));
    return it == facts.roleByElement.end() ? ATSPI_ROLE_INVALID : it->second.atspi;
}

// A selection across paragraphs of a document (LibreOffice Writer): each paragraph is an element
// of its own and reports only its part. The parts of the document's paragraphs, in order, one
// per line; none unless the selection reaches past `paragraph`. Bounded: a document exposes its
// paragraphs on the screen, and at most 500 are looked at.
std::optional<std::string> documentSelection(AtspiAccessible* paragraph) {
    if (atspiRole(paragraph) != ATSPI_ROLE_PARAGRAPH) return std::nullopt;
    GRef<AtspiAccessible> document;
    {
        AtspiCall call(paragraph);
        if (!call) return std::nullopt;
        document = GRef<AtspiAccessible>::adopt(atspi_accessible_get_parent(paragraph, call.err()));
        if (!call.ok() || !document) return std::nullopt;
    }
    gint count = 0;
    {
        AtspiCall call(document.get());
        if (!call) return std::nullopt;
        AtspiRole role = atspi_accessible_get_role(document.get(), call.err());
        if (!call.ok() || role != ATSPI_ROLE_DOCUMENT_TEXT) return std::nullopt;
        count = atspi_accessible_get_child_count(document.get(), call.err());
        if (!call.ok()) return std::nullopt;
    }
    std::vector<std::string> parts;
    bool others = false;
    for (gint i = 0; i < count && i < 500; ++i) {
        GRef<AtspiAccessible> child;
        {
            AtspiCall call(document.get());
            if (!call) return std::nullopt;
            child = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(document.get(), i, call.err()));
            if (!call.ok() || !child) return std::nullopt;
        }
        auto text = textOf(child.get());
        if (!text) continue;
        AtspiCall call(child.get());
        if (!call) return std::nullopt;
        AtspiRange* r = atspi_text_get_selection(text.get(), 0, call.err());
        std::unique_ptr<AtspiRange, decltype(&g_free)> owned(r, g_free);
        if (!call.ok() || !r || r->start_offset == r->end_offset) {
            // The selected paragraphs are contiguous: past them, nothing more is selected.
            if (!parts.empty()) break;
            continue;
        }
        GCharOwner chars(atspi_text_get_text(text.get(), std::min(r->start_offset, r->end_offset),
                                             std::max(r->start_offset, r->end_offset), call.err()));
        if (!call.ok() || !chars) return std::nullopt;
        parts.emplace_back(chars.get());
        if (child.get() != paragraph) others = true;
    }
    if (!others || parts.size() < 2) return std::nullopt;
    std::string joined = parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i) joined += "\n" + parts[i];
    return joined;
}

std::string roleNameAsked(AtspiAccessible* acc, bool application, AXError* code, bool* secure, AtspiRole* atspi);

// Roles do not change: each element's is asked once, and answers "AXSubrole" too.
std::string roleName(AtspiAccessible* acc, bool application, AXError* code, bool* secure = nullptr) {
    if (application) return "AXApplication";
    const std::string key = keyOf(acc);
    if (auto it = facts.roleByElement.find(key); it != facts.roleByElement.end()) {
        if (secure) *secure = it->second.secure;
        return it->second.name;
    }
    bool isSecure = false;
    AtspiRole atspi = ATSPI_ROLE_INVALID;
    std::string role = roleNameAsked(acc, application, code, &isSecure, &atspi);
    if (*code == kAXErrorSuccess) {
        if (facts.roleByElement.size() >= kMaxRememberedElements) facts.roleByElement.clear();
        facts.roleByElement[key] = {role, isSecure, atspi};
    }
    if (secure) *secure = isSecure;
    return role;
}

std::string roleNameAsked(AtspiAccessible* acc, bool application, AXError* code, bool* secure, AtspiRole* atspi) {
    if (application) return "AXApplication";
    AtspiRole role = ATSPI_ROLE_INVALID;
    {
        AtspiCall call(acc);
        if (call) role = atspi_accessible_get_role(acc, call.err());
        if (!call.ok()) {
            *code = kAXErrorCannotComplete;
            return "";
        }
    }
    *atspi = role;
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT:
            *secure = true;  // "AXSubrole" says it is secret
            return "AXTextField";
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_EDITBAR:
            // GTK3 reports an entry and a text view both as "text": the line states tell them apart.
            return hasState(acc, ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField";
        // Text that lives in paragraphs (LibreOffice, web documents) and terminals (VTE) is
        // read, selected and pasted into like a text area.
        case ATSPI_ROLE_DOCUMENT_TEXT:
        case ATSPI_ROLE_PARAGRAPH:
        case ATSPI_ROLE_TERMINAL: return "AXTextArea";
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_STATIC:
        case ATSPI_ROLE_CAPTION: return "AXStaticText";
        case ATSPI_ROLE_APPLICATION: return "AXApplication";
        case ATSPI_ROLE_FRAME:
        case ATSPI_ROLE_WINDOW:
        case ATSPI_ROLE_DIALOG: return "AXWindow";
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON: return "AXButton";
        case ATSPI_ROLE_CHECK_BOX: return "AXCheckBox";
        case ATSPI_ROLE_RADIO_BUTTON: return "AXRadioButton";
        case ATSPI_ROLE_COMBO_BOX: return "AXComboBox";
        case ATSPI_ROLE_LIST: return "AXList";
        case ATSPI_ROLE_TABLE: return "AXTable";
        case ATSPI_ROLE_MENU_BAR: return "AXMenuBar";
        case ATSPI_ROLE_MENU: return "AXMenu";
        case ATSPI_ROLE_MENU_ITEM: return "AXMenuItem";
        case ATSPI_ROLE_SCROLL_PANE: return "AXScrollArea";
        case ATSPI_ROLE_SCROLL_BAR: return "AXScrollBar";
        case ATSPI_ROLE_TOOL_BAR: return "AXToolbar";
        case ATSPI_ROLE_DOCUMENT_WEB: return "AXWebArea";
        case ATSPI_ROLE_IMAGE: return "AXImage";
        case ATSPI_ROLE_LINK: return "AXLink";
        case ATSPI_ROLE_SLIDER: return "AXSlider";
        default: return "AXGroup";
    }
}

// Markers carry a UTF-16 offset into the element they were read from.
ObjectRef makeMarker(int64_t units) { return std::make_shared<TextMarker>(std::to_string(units)); }

std::optional<int64_t> markerUnits(const TextMarkerRef& m) {
    if (!m) return std::nullopt;
    try {
        return std::stoll(m->data);
    } catch (...) {
        return std::nullopt;
    }
}

// A UTF-16 range from a parameter: a range box, or a marker range.
std::optional<CFRange> rangeParameter(const ObjectRef& parameter, bool markers) {
    if (!markers) {
        CFRange r;
        if (AXValueGetValue(parameter, AXValueType::CFRange, &r)) return r;
        return std::nullopt;
    }
    if (CFGetTypeID(parameter) != TypeID::TextMarkerRange) return std::nullopt;
    auto mr = std::static_pointer_cast<const TextMarkerRange>(parameter);
    auto a = markerUnits(mr->start), b = markerUnits(mr->end);
    if (!a || !b) return std::nullopt;
    return CFRange{std::min(*a, *b), std::abs(*b - *a)};
}

void onAtspiEvent(AtspiEvent* event, void* self) {
    // Handed over in full: freed here, whatever happens.
    std::unique_ptr<AtspiEvent, void (*)(AtspiEvent*)> owned(
        event, [](AtspiEvent* e) { g_boxed_free(atspi_event_get_type(), e); });
    try {
        if (event->source) {
            // A new bus may hand over an application it shares a name with one of the old bus.
            AtspiBus::instance().revive(event->source);
            // An application that sends events is not hung.
            AtspiBus::instance().heardFrom(event->source);
            // What was read of the element this dispatch may be stale now.
            dispatchCache.erase(keyOf(event->source));
        }
        static_cast<LinuxAccessibility*>(self)->onEvent(*event);
    } catch (...) {
    }
}

// "window:" as a whole: GTK 4 activation reaches only a listener for the whole class.
// Text changes keep the layouts of texts current; editability changes the remembered editability.
const char* kEditabilityEvents[] = {"object:state-changed:editable", "object:state-changed:read-only"};
// The object path of the desktop, and of each application's root on its own connection.
constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";

const char* kEventTypes[] = {"object:state-changed:focused", "object:text-selection-changed",
                             "object:text-caret-moved", "window:", "object:children-changed:add",
                             "object:text-changed", kEditabilityEvents[0], kEditabilityEvents[1]};

}  // namespace

// ----- elements ------------------------------------------------------------------------------

AtspiElement::AtspiElement(GRef<AtspiAccessible> accessible, pid_t pid, bool application)
    : acc_(std::move(accessible)), pid_(pid), application_(application) {
    if (acc_) {
        auto* obj = reinterpret_cast<AtspiObject*>(acc_.get());
        if (obj->app && obj->app->bus_name) bus_ = obj->app->bus_name;
        if (obj->path) path_ = obj->path;
    }
}

bool AtspiElement::equals(const UIElement& other) const {
    auto* o = dynamic_cast<const AtspiElement*>(&other);
    if (!o) return false;
    if (!acc_ || !o->acc_) return !acc_ && !o->acc_ && pid_ == o->pid_;
    return bus_ == o->bus_ && path_ == o->path_;
}

std::size_t AtspiElement::hash() const { return std::hash<std::string>()(bus_ + path_) ^ std::size_t(pid_); }

GRef<AtspiAccessible> DesktopState::application(pid_t pid) {
    if (auto it = applications.find(pid); it != applications.end()) return it->second;
    if (notOnBus.count(pid)) return {};
    if (!AtspiBus::instance().up()) return {};
    auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0));
    if (!desktop) return {};
    gint n = 0;
    {
        AtspiCall call(desktop.get());
        if (!call) return {};
        n = atspi_accessible_get_child_count(desktop.get(), call.err());
        if (!call.ok()) return {};
    }
    for (gint i = 0; i < n; ++i) {
        GRef<AtspiAccessible> app;
        {
            AtspiCall call(desktop.get());
            if (!call) break;
            app = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(desktop.get(), i, call.err()));
            if (!call.ok() || !app) continue;
        }
        AtspiBus::instance().revive(app.get());
        AtspiCall call(nullptr);
        if (!call) break;
        pid_t p = atspi_accessible_get_process_id(app.get(), call.err());
        if (!call.ok()) continue;
        applications[p] = app;
    }
    auto it = applications.find(pid);
    if (it != applications.end()) return it->second;
    notOnBus.insert(pid);
    return {};
}

// ----- observers -----------------------------------------------------------------------------

struct LinuxAccessibility::Observer final : AXObserver {
    pid_t pid = 0;
    AXObserverCallback callback = nullptr;
    bool attached = false;
    struct Registration {
        ElementRef element;
        std::string notification;
        void* refcon;
        uint64_t id;
    };
    std::vector<Registration> registrations;
    bool holds(uint64_t id) const {
        return std::any_of(registrations.begin(), registrations.end(), [id](const auto& r) { return r.id == id; });
    }
};

namespace {
uint64_t nextRegistrationId = 0;
}  // namespace

LinuxAccessibility::LinuxAccessibility(DesktopState& state, XConnection& x, FrontWindow& front)
    : state_(state), x_(x), front_(front) {
    auto& bus = AtspiBus::instance();
    bus.start();
    bus.onLost = [this] { forgetBus(); };
    bus.onBack = [this] { listen(); };
    listener_ = GRef<AtspiEventListener>::adopt(atspi_event_listener_new(onAtspiEvent, this, nullptr));
    listen();
    x_.addHandler([this](XEvent& e) { onXEvent(e); });
}

LinuxAccessibility::~LinuxAccessibility() {
    auto& bus = AtspiBus::instance();
    bus.onLost = nullptr;
    bus.onBack = nullptr;
    if (!bus.up()) return;
    for (const char* type : kEventTypes) {
        GErrorOwner err;
        atspi_event_listener_deregister(listener_.get(), type, err.out());
    }
}

void LinuxAccessibility::listen() {
    if (!AtspiBus::instance().up()) return;
    // Registrations are requests to the registry.
    AtspiBus::instance().useTimeoutFor(AtspiBus::kRegistry);
    bool editability = true;
    for (const char* type : kEventTypes) {
        GErrorOwner err;
        // On a bus joined again the registration is made anew: dropped first so it is not doubled.
        atspi_event_listener_deregister(listener_.get(), type, err.out());
        const bool registered = atspi_event_listener_register(listener_.get(), type, err.out()) && !err;
        for (const char* e : kEditabilityEvents)
            if (std::strcmp(type, e) == 0 && !registered) editability = false;
    }
    editabilityFollowed = editability;
}

void LinuxAccessibility::forgetBus() {
    // Every AT-SPI object of the lost bus is dead: what was learnt from them goes with them.
    // Observers and their registrations stay (they follow processes, which may come back).
    state_.applications.clear();
    state_.lastFocused.clear();
    state_.activeWindows.clear();
    state_.notOnBus.clear();
    pending_.clear();
    facts.clear();
    dispatchCache.clear();
    layouts.clear();
}


bool LinuxAccessibility::isProcessTrustedWithOptions(bool) {
    // No permission prompt exists on this desktop: a reachable accessibility bus is the trust.
    // While the bus is gone the answer is no, without asking anything.
    if (!AtspiBus::instance().up()) return false;
    auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0));
    if (!desktop) return false;
    AtspiCall call(desktop.get());
    if (!call) return false;
    atspi_accessible_get_child_count(desktop.get(), call.err());
    return call.ok();
}

ElementRef LinuxAccessibility::createApplication(pid_t pid) {
    auto app = state_.application(pid);
    return std::make_shared<AtspiElement>(app, pid, true);
}

namespace {

using Accessibles = std::vector<GRef<AtspiAccessible>>;

GRef<AtspiCollection> collectionOf(AtspiAccessible* acc) {
    return interfaceOf(acc, atspi_accessible_get_collection_iface);
}

// What lies below `acc` in one request: its children (`deep` false), or every descendant in
// depth-first order, each before its own children (`deep` true), at most `limit`.
std::optional<Accessibles> below(AtspiAccessible* acc, bool deep, int limit) {
    auto collection = collectionOf(acc);
    if (!collection) return std::nullopt;
    // A rule without conditions matches everything.
    auto rule = GRef<AtspiMatchRule>::adopt(atspi_match_rule_new(
        nullptr, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
        ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
    AtspiCall call(acc);
    if (!call) return std::nullopt;
    GArray* found = atspi_collection_get_matches(collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL,
                                                 limit, deep, call.err());
    std::unique_ptr<GArray, void (*)(GArray*)> owned(found, [](GArray* a) {
        if (a) g_array_free(a, TRUE);
    });
    Accessibles out;
    if (found) {
        out.reserve(found->len);
        // Each element of the answer comes with a reference, handed over here.
        for (guint i = 0; i < found->len; ++i) out.push_back(GRef<AtspiAccessible>::adopt(g_array_index(found, AtspiAccessible*, i)));
    }
    if (!call.ok() || !found) return std::nullopt;
    return out;
}

// Descendants asked in one query: enough for the focus handler's walk (four levels, a bounded
// number of elements) in any window a user works in.
constexpr int kDescendantLimit = 4096;

// The children of `acc`. Platform quirk worth the trouble: the focus handler walks the focused
// element's children four levels down, and asking each element for its children one at a time
// costs a request per child (a list of 1,000 rows: 2,000). The Collection interface answers the
// children in one request and the whole subtree in one more; the subtree tells each child's share
// of it, so a child with nothing below (a row, a button) is answered without asking. Toolkits
// without the interface are asked child by child.
std::optional<Accessibles> childrenOf(AtspiAccessible* acc) {
    {
        auto& entry = dispatchEntry(acc);
        if (entry.children) return entry.children;
        if (entry.below && entry.below->empty()) return entry.children = Accessibles{};
    }
    if (auto children = below(acc, false, 0)) {
        auto& entry = dispatchEntry(acc);
        std::optional<std::vector<std::string>> under = entry.below;
        bool complete = true;
        if (!under && !children->empty()) {
            if (auto all = below(acc, true, kDescendantLimit)) {
                under.emplace();
                under->reserve(all->size());
                for (const auto& a : *all) under->push_back(keyOf(a.get()));
                complete = all->size() < std::size_t(kDescendantLimit);
            }
        }
        if (under) {
            // Each child's share: from it (exclusive) to its next sibling.
            std::vector<std::size_t> at;
            std::size_t from = 0;
            for (const auto& child : *children) {
                const std::string key = keyOf(child.get());
                while (from < under->size() && (*under)[from] != key) ++from;
                if (from == under->size()) break;  // the tree changed between the two answers
                at.push_back(from++);
            }
            if (at.size() == children->size()) {
                for (std::size_t i = 0; i < at.size(); ++i) {
                    if (i + 1 == at.size() && !complete) break;
                    std::size_t end = i + 1 < at.size() ? at[i + 1] : under->size();
                    dispatchEntry((*children)[i].get()).below.emplace(under->begin() + at[i] + 1, under->begin() + end);
                }
            }
        }
        return dispatchEntry(acc).children = std::move(children);
    }
    gint n = 0;
    {
        AtspiCall call(acc);
        if (!call) return std::nullopt;
        n = atspi_accessible_get_child_count(acc, call.err());
        if (!call.ok()) return std::nullopt;
    }
    Accessibles children;
    for (gint i = 0; i < n; ++i) {
        AtspiCall call(acc);
        if (!call) return std::nullopt;
        auto child = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(acc, i, call.err()));
        if (!call.ok() || !child) return std::nullopt;
        children.push_back(std::move(child));
    }
    return dispatchEntry(acc).children = std::move(children);
}

// What the Collection interface of a window says of its focused element, in one request.
struct CollectionFocus {
    // False when the window has no Collection interface or the query failed: only then is
    // the window worth walking. True with no element: nothing below the window is focused.
    bool answered = false;
    std::shared_ptr<const AtspiElement> element;
};

CollectionFocus focusedByCollection(AtspiAccessible* window) {
    auto collection = collectionOf(window);
    if (!collection) return {};
    GArray* wanted = g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
    AtspiStateType focused = ATSPI_STATE_FOCUSED;
    g_array_append_val(wanted, focused);
    auto states = GRef<AtspiStateSet>::adopt(atspi_state_set_new(wanted));
    g_array_free(wanted, TRUE);
    auto rule = GRef<AtspiMatchRule>::adopt(atspi_match_rule_new(
        states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
    AtspiCall call(window);
    if (!call) return {};
    GArray* found = atspi_collection_get_matches(collection.get(), rule.get(),
                                                 ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, call.err());
    std::unique_ptr<GArray, void (*)(GArray*)> owned(found, [](GArray* a) {
        if (!a) return;
        for (guint i = 0; i < a->len; ++i) g_object_unref(g_array_index(a, AtspiAccessible*, i));
        g_array_free(a, TRUE);
    });
    if (!call.ok() || !found) return {};
    if (found->len == 0) return {true, nullptr};
    return {true, elementFor(g_array_index(found, AtspiAccessible*, 0))};
}

}  // namespace

ElementRef LinuxAccessibility::focusedElementOf(pid_t pid) {
    // The element of the last focus event, while it still has the focus.
    if (auto it = state_.lastFocused.find(pid); it != state_.lastFocused.end()) {
        if (hasState(it->second->accessible(), ATSPI_STATE_FOCUSED)) return it->second;
    }
    // Otherwise a bounded walk of the window activated last for the focused element.
    auto window = state_.activeWindows.find(pid);
    if (window == state_.activeWindows.end()) {
        auto active = activeWindowOf(pid);
        if (!active) return nullptr;
        window = state_.activeWindows.emplace(pid, active).first;
    }
    // The window is asked for its focused element in one request; a toolkit without the
    // Collection interface is walked, within bounds. When the query answered that nothing is
    // focused, a walk (of the same tree, element by element) cannot do better: on a switch the
    // application has not focused its widget yet, and the walk cost hundreds of requests.
    const auto byCollection = focusedByCollection(window->second.get());
    if (byCollection.element) return byCollection.element;
    if (byCollection.answered) return elementFor(window->second.get());
    int budget = 400;
    std::function<ElementRef(AtspiAccessible*, int)> walk = [&](AtspiAccessible* acc, int depth) -> ElementRef {
        if (--budget < 0 || depth > 30) return nullptr;
        auto states = statesOf(acc);
        if (!states) return nullptr;
        if (depth > 0 && !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) return nullptr;
        if (atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) return elementFor(acc);
        gint n = 0;
        {
            AtspiCall call(acc);
            if (!call) return nullptr;
            n = atspi_accessible_get_child_count(acc, call.err());
            if (!call.ok()) return nullptr;
        }
        for (gint i = 0; i < n && budget > 0; ++i) {
            AtspiCall call(acc);
            if (!call) return nullptr;
            auto child = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(acc, i, call.err()));
            if (!call.ok() || !child) return nullptr;
            if (auto found = walk(child.get(), depth + 1)) return found;
        }
        return nullptr;
    };
    if (auto found = walk(window->second.get(), 0)) return found;
    // Just activated, the window may not have given the focus to a widget yet (GTK reports
    // window:activate before the widget's focus): the window itself has it meanwhile.
    return elementFor(window->second.get());
}

AXError LinuxAccessibility::copyAttributeValue(const ElementRef& element, const std::string& attribute,
                                               ObjectRef* value) {
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!e || !e->accessible() || processEnded(e->processIdentifier())) return kAXErrorInvalidUIElement;
    AtspiAccessible* acc = e->accessible();
    AXError code = kAXErrorSuccess;

    if (attribute == "AXRole") {
        std::string role = roleName(acc, e->isApplication(), &code);
        if (code == kAXErrorSuccess) *value = makeString(role);
        return code;
    }
    if (attribute == "AXSubrole") {
        // A password entry is the platform's secret field, named as on the original platform.
        if (e->isApplication()) return kAXErrorNoValue;
        bool secure = false;
        roleName(acc, false, &code, &secure);
        if (code != kAXErrorSuccess) return code;
        if (!secure) return kAXErrorNoValue;
        *value = makeString("AXSecureTextField");
        return kAXErrorSuccess;
    }
    if (attribute == "AXFocusedUIElement") {
        if (!e->isApplication()) return kAXErrorAttributeUnsupported;
        auto focused = focusedElementOf(e->processIdentifier());
        if (!focused) return kAXErrorNoValue;
        *value = focused;
        return kAXErrorSuccess;
    }
    if (attribute == "AXChildren") {
        auto children = childrenOf(acc);
        if (!children) return kAXErrorCannotComplete;
        std::vector<ObjectRef> elements;
        elements.reserve(children->size());
        for (const auto& child : *children) elements.push_back(elementFor(child.get()));
        *value = std::make_shared<ArrayObject>(std::move(elements));
        return kAXErrorSuccess;
    }
    static const std::set<std::string> textAttributes = {"AXSelectedText", "AXSelectedTextRange",
                                                         "AXNumberOfCharacters", "AXValue",
                                                         "AXSelectedTextMarkerRange"};
    if (!textAttributes.count(attribute)) return kAXErrorAttributeUnsupported;
    auto text = textOf(acc);
    if (!text) return kAXErrorAttributeUnsupported;

    if (attribute == "AXValue" || attribute == "AXNumberOfCharacters") {
        auto all = wholeText(text.get());
        if (!all) return kAXErrorCannotComplete;
        *value = attribute == "AXValue" ? makeString(*all) : makeInteger(totalUnits(all->c_str()));
        return kAXErrorSuccess;
    }
    // The selected text needs no caret: without a selection it is empty.
    auto sel = selectionCodePoints(text.get(), attribute != "AXSelectedText");
    if (!sel) return kAXErrorCannotComplete;
    if (attribute == "AXSelectedText" && sel->first == sel->second) {
        *value = makeString("");
        return kAXErrorSuccess;
    }
    if (attribute == "AXSelectedText") {
        if (auto across = documentSelection(acc)) {
            *value = makeString(*across);
            return kAXErrorSuccess;
        }
        if (!dispatchEntry(acc).selectedText) {
            auto selected = textBetween(text.get(), sel->first, sel->second);
            // Looked up again: an event heard during the request may have dropped the entry.
            dispatchEntry(acc).selectedText = selected;
        }
        if (!dispatchEntry(acc).selectedText) return kAXErrorCannotComplete;
        *value = makeString(*dispatchEntry(acc).selectedText);
        return kAXErrorSuccess;
    }
    const TextLayout* layout = layoutOf(text.get());
    if (!layout) return kAXErrorCannotComplete;
    int64_t start = layout->units(sel->first);
    int64_t end = layout->units(sel->second);
    dispatchEntry(acc).range = {CFRange{start, end - start}, *sel};
    if (attribute == "AXSelectedTextRange") {
        *value = makeRange({start, end - start});
    } else {
        *value = AXTextMarkerRangeCreate(std::static_pointer_cast<const TextMarker>(makeMarker(start)),
                                         std::static_pointer_cast<const TextMarker>(makeMarker(end)));
    }
    return kAXErrorSuccess;
}

namespace {

// The screen rectangle of a range in code points.
AXError rangeExtents(AtspiAccessible* acc, AtspiText* text, int64_t start, int64_t end, ObjectRef* value) {
    auto& known = dispatchEntry(acc).extents;
    if (known && known->first == std::pair<int64_t, int64_t>{start, end}) {
        *value = known->second;
        return kAXErrorSuccess;
    }
    AtspiCall call(acc);
    if (!call) return call.code();
    AtspiRect* r = atspi_text_get_range_extents(text, gint(start), gint(end), ATSPI_COORD_TYPE_SCREEN, call.err());
    std::unique_ptr<AtspiRect, decltype(&g_free)> owned(r, g_free);
    // The rectangle is garbage when the call failed (GTK4 refuses screen coordinates).
    if (!call.ok() || !r) return kAXErrorCannotComplete;
    *value = makeRect({{double(r->x), double(r->y)}, {double(r->width), double(r->height)}});
    dispatchEntry(acc).extents = {{start, end}, *value};
    return kAXErrorSuccess;
}

}  // namespace

AXError LinuxAccessibility::copyParameterizedAttributeValue(const ElementRef& element,
                                                            const std::string& attribute,
                                                            const ObjectRef& parameter, ObjectRef* value) {
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!e || !e->accessible() || processEnded(e->processIdentifier())) return kAXErrorInvalidUIElement;
    const bool markers = attribute == "AXBoundsForTextMarkerRange" || attribute == "AXStringForTextMarkerRange";
    const bool bounds = attribute == "AXBoundsForRange" || attribute == "AXBoundsForTextMarkerRange";
    if (!markers && attribute != "AXBoundsForRange" && attribute != "AXStringForRange")
        return kAXErrorParameterizedAttributeUnsupported;
    auto range = rangeParameter(parameter, markers);
    if (!range || range->location < 0 || range->length < 0) return kAXErrorIllegalArgument;
    auto text = textOf(e->accessible());
    if (!text) return kAXErrorParameterizedAttributeUnsupported;
    // The range of the selection just answered converts without the text.
    const auto& known = dispatchEntry(e->accessible()).range;
    if (bounds && known && known->first.location == range->location && known->first.length == range->length)
        return boundsOfRange(*e, text.get(), known->second.first, known->second.second, value);
    const TextLayout* layout = layoutOf(text.get());
    if (!layout) return kAXErrorCannotComplete;
    // A range that does not lie in the text is refused, as on the original platform, not cut to fit.
    if (range->location + range->length > layout->units(layout->length)) return kAXErrorIllegalArgument;
    int64_t start = layout->codePoints(range->location);
    int64_t end = layout->codePoints(range->location + range->length);
    if (!bounds) {
        auto between = textBetween(text.get(), start, end);
        if (!between) return kAXErrorCannotComplete;
        *value = makeString(*between);
        return kAXErrorSuccess;
    }
    return boundsOfRange(*e, text.get(), start, end, value);
}

// Screen rectangle of a range; GTK 4 refuses screen coordinates, so its window-relative
// character boxes are moved by the window's origin on the screen instead.
AXError LinuxAccessibility::boundsOfRange(const AtspiElement& e, AtspiText* text, int64_t start, int64_t end,
                                          ObjectRef* value) {
    AXError code = rangeExtents(e.accessible(), text, start, end, value);
    if (code != kAXErrorCannotComplete) return code;
    auto windowRelative = windowRelativeRangeBounds(e.accessible(), text, start, end);
    if (!windowRelative) return kAXErrorCannotComplete;
    auto origin = windowOriginOf(e.processIdentifier());
    if (!origin) return kAXErrorCannotComplete;
    windowRelative->origin.x += origin->x;
    windowRelative->origin.y += origin->y;
    *value = makeRect(*windowRelative);
    return kAXErrorSuccess;
}

// GTK 4 gives no range extents and no screen coordinates, but it gives each character's box
// relative to its window: the first and the last character of the range span its rectangle.
std::optional<CGRect> LinuxAccessibility::windowRelativeRangeBounds(AtspiAccessible* acc, AtspiText* text,
                                                                    int64_t start, int64_t end) {
    std::optional<CGRect> bounds;
    for (int64_t offset : {start, std::max(start, end - 1)}) {
        AtspiCall call(acc);
        if (!call) return std::nullopt;
        AtspiRect* r = atspi_text_get_character_extents(text, gint(offset), ATSPI_COORD_TYPE_WINDOW, call.err());
        std::unique_ptr<AtspiRect, decltype(&g_free)> owned(r, g_free);
        if (!call.ok() || !r || r->height <= 0) return std::nullopt;
        CGRect box{{double(r->x), double(r->y)}, {double(r->width), double(r->height)}};
        if (!bounds) {
            bounds = box;
            continue;
        }
        double x0 = std::min(bounds->origin.x, box.origin.x), y0 = std::min(bounds->origin.y, box.origin.y);
        double x1 = std::max(bounds->origin.x + bounds->size.width, box.origin.x + box.size.width);
        double y1 = std::max(bounds->origin.y + bounds->size.height, box.origin.y + box.size.height);
        bounds = CGRect{{x0, y0}, {x1 - x0, y1 - y0}};
    }
    return bounds;
}

// Where the window of `pid` that holds the focus (or its first window) starts on the screen.
std::optional<CGPoint> LinuxAccessibility::windowOriginOf(pid_t pid) {
    std::vector<XWindow> windows = front_.windowsOf(pid);
    // The focused one first.
    if (XWindow focused = front_.focusedClient(); std::find(windows.begin(), windows.end(), focused) != windows.end())
        windows.insert(windows.begin(), focused);
    for (XWindow w : windows)
        if (auto frame = x_.windowFrame(w)) return frame->origin;
    return std::nullopt;
}

AXError LinuxAccessibility::isAttributeSettable(const ElementRef& element, const std::string& attribute,
                                                bool* settable) {
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!e || !e->accessible() || processEnded(e->processIdentifier())) return kAXErrorInvalidUIElement;
    if (attribute == "AXValue") {
        // The EDITABLE state says it: Chromium (and Electron) give their text areas that state
        // and the Text interface, but not the EditableText interface.
        *settable = editable(e->accessible()) &&
                    (editableTextOf(e->accessible()) || textOf(e->accessible()));
        return kAXErrorSuccess;
    }
    if (attribute == "AXSelectedTextRange") {
        *settable = static_cast<bool>(textOf(e->accessible()));
        return kAXErrorSuccess;
    }
    *settable = false;
    return attribute == "AXEnhancedUserInterface" ? kAXErrorAttributeUnsupported : kAXErrorSuccess;
}

AXError LinuxAccessibility::setAttributeValue(const ElementRef& element, const std::string& attribute,
                                              const ObjectRef& value) {
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!e || !e->accessible() || processEnded(e->processIdentifier())) return kAXErrorInvalidUIElement;
    if (attribute == "AXValue") {
        auto editable = editableTextOf(e->accessible());
        if (!editable || CFGetTypeID(value) != TypeID::String) return kAXErrorIllegalArgument;
        AtspiCall call(e->accessible());
        if (!call) return call.code();
        atspi_editable_text_set_text_contents(editable.get(),
                                              static_cast<const StringObject&>(*value).value.c_str(), call.err());
        // What this dispatch read of the element is stale now: a read right after sees the write.
        dispatchCache.erase(keyOf(e->accessible()));
        return call.ok() ? kAXErrorSuccess : kAXErrorCannotComplete;
    }
    if (attribute != "AXSelectedTextRange") return kAXErrorAttributeUnsupported;
    CFRange range;
    if (!AXValueGetValue(value, AXValueType::CFRange, &range)) return kAXErrorIllegalArgument;
    auto text = textOf(e->accessible());
    if (!text) return kAXErrorAttributeUnsupported;
    // The selection this dispatch read is stale once it is set (whether or not the set succeeds).
    dispatchCache.erase(keyOf(e->accessible()));
    const TextLayout* layout = layoutOf(text.get());
    if (!layout) return kAXErrorCannotComplete;
    gint start = gint(layout->codePoints(range.location));
    gint end = gint(layout->codePoints(range.location + range.length));
    gint n = 0;
    {
        AtspiCall call(e->accessible());
        if (!call) return call.code();
        n = atspi_text_get_n_selections(text.get(), call.err());
        if (!call.ok()) return kAXErrorCannotComplete;
    }
    if (start == end && n > 0) {
        AtspiCall call(e->accessible());
        if (!call) return call.code();
        atspi_text_remove_selection(text.get(), 0, call.err());
        if (!call.ok()) return kAXErrorCannotComplete;
    }
    AtspiCall call(e->accessible());
    if (!call) return call.code();
    if (start == end) {
        atspi_text_set_caret_offset(text.get(), start, call.err());
    } else if (n > 0) {
        atspi_text_set_selection(text.get(), 0, start, end, call.err());
    } else {
        // Setting selection 0 fails while there is none: it has to be added.
        atspi_text_add_selection(text.get(), start, end, call.err());
    }
    return call.ok() ? kAXErrorSuccess : kAXErrorCannotComplete;
}

AXError LinuxAccessibility::copyAttributeNames(const ElementRef& element, ObjectRef* names) {
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!e || !e->accessible() || processEnded(e->processIdentifier())) return kAXErrorInvalidUIElement;
    std::vector<ObjectRef> list;
    for (const char* n : {"AXRole", "AXChildren"}) list.push_back(makeString(n));
    if (e->isApplication()) list.push_back(makeString("AXFocusedUIElement"));
    if (textOf(e->accessible()))
        for (const char* n : {"AXSelectedText", "AXSelectedTextRange", "AXNumberOfCharacters", "AXValue",
                              "AXSelectedTextMarkerRange"})
            list.push_back(makeString(n));
    *names = std::make_shared<ArrayObject>(std::move(list));
    return kAXErrorSuccess;
}

AXError LinuxAccessibility::observerCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* observer) {
    if (!callback) return kAXErrorIllegalArgument;
    auto o = std::make_shared<Observer>();
    o->pid = pid;
    o->callback = callback;
    observers_.push_back(o);
    *observer = o;
    return kAXErrorSuccess;
}

AXError LinuxAccessibility::observerAddNotification(const AXObserverRef& observer, const ElementRef& element,
                                                    const std::string& notification, void* refcon) {
    auto o = std::dynamic_pointer_cast<Observer>(std::const_pointer_cast<AXObserver>(observer));
    auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
    if (!o || !e) return kAXErrorIllegalArgument;
    // An application not (yet) on the bus may still be listened to: its events name its process.
    if (!e->accessible() && !e->isApplication()) return kAXErrorInvalidUIElement;
    static const std::set<std::string> known = {"AXFocusedUIElementChanged", "AXSelectedTextChanged",
                                                "AXWindowMoved", "AXWindowResized"};
    if (!known.count(notification)) return kAXErrorNotificationUnsupported;
    if (notification == "AXWindowMoved" || notification == "AXWindowResized") watchWindowsOf(o->pid);
    o->registrations.push_back({element, notification, refcon, ++nextRegistrationId});
    return kAXErrorSuccess;
}

AXError LinuxAccessibility::observerRemoveNotification(const AXObserverRef& observer, const ElementRef& element,
                                                       const std::string& notification) {
    auto o = std::dynamic_pointer_cast<Observer>(std::const_pointer_cast<AXObserver>(observer));
    if (!o || !element) return kAXErrorIllegalArgument;
    // The handler goes; an event already collected for delivery checks it is still there.
    auto it = std::find_if(o->registrations.begin(), o->registrations.end(), [&](const Observer::Registration& r) {
        return r.notification == notification && r.element->equals(*element);
    });
    if (it == o->registrations.end()) return kAXErrorNotificationNotRegistered;
    o->registrations.erase(it);
    return kAXErrorSuccess;
}

RunLoopSourceRef LinuxAccessibility::observerGetRunLoopSource(const AXObserverRef& observer) {
    auto o = std::dynamic_pointer_cast<Observer>(std::const_pointer_cast<AXObserver>(observer));
    if (!o) return nullptr;
    // The source keeps its observer alive once the loop holds it. Observers follow a process
    // and outlive a lost bus (the listeners are registered again when it is back), so the source
    // serves as long as its process runs.
    return std::make_shared<GLibRunLoopSource>([o] { o->attached = true; },
                                               [pid = o->pid] { return processExists(pid); });
}

// ----- event routing -------------------------------------------------------------------------

void LinuxAccessibility::onEvent(const AtspiEvent& event) {
    const std::string type = event.type ? event.type : "";
    if (!event.source) return;
    if (type.rfind("object:text-changed", 0) == 0) {
        if (type.find(":insert") != std::string::npos) textChanged(event, true);
        else if (type.find(":delete") != std::string::npos) textChanged(event, false);
        return;
    }
    if (type.rfind("object:state-changed:editable", 0) == 0 || type.rfind("object:state-changed:read-only", 0) == 0) {
        forgetEditability(event.source);
        return;
    }
    if (type.rfind("object:children-changed", 0) == 0) {
        // Only the desktop's own children are applications registering on the bus. Every
        // application's own root has the desktop's path too, and announces there each window it
        // adds (a dialog, a second window): that child is no application, and taken for one it
        // would be reported launched, which makes the monitor follow a background application
        // and then ignore the real switch to it.
        auto* obj = reinterpret_cast<AtspiObject*>(event.source);
        if (!obj->path || std::strcmp(obj->path, kRootPath) != 0) return;
        if (!G_VALUE_HOLDS_OBJECT(&event.any_data)) return;
        auto* app = ATSPI_ACCESSIBLE(g_value_get_object(&event.any_data));
        if (!app) return;
        auto* added = reinterpret_cast<AtspiObject*>(app);
        if (!added->path || std::strcmp(added->path, kRootPath) != 0) return;
        auto element = elementFor(app, true);
        if (!element->processIdentifier()) return;
        state_.applications[element->processIdentifier()] = GRef<AtspiAccessible>::retain(app);
        state_.notOnBus.clear();
        if (onApplicationEvent) onApplicationEvent(NSWorkspaceDidLaunchApplicationNotification, element->processIdentifier());
        return;
    }
    auto element = elementFor(event.source);
    pid_t pid = element->processIdentifier();
    if (!pid) return;
    if (type.rfind("window:", 0) == 0) {
        // Deactivation is not needed: the next front window says where the user went. Qt 5
        // sends activate immediately followed by deactivate when its window loses the focus.
        if (g_ascii_strncasecmp(type.c_str(), "window:activate", 15) == 0) onWindowActivated(pid, event.source);
        return;
    }
    if (type.rfind("object:state-changed:focused", 0) == 0) {
        if (event.detail1 != 1) return;
        forgetEditability(event.source);
        // Platform quirk: GTK re-announces the focus of a window's focus widget whenever the
        // window is activated, though the focus did not move inside the application. That is
        // an application switch, reported as one; only a real move is a focus change.
        auto last = state_.lastFocused.find(pid);
        bool same = last != state_.lastFocused.end() && last->second->equals(*element);
        auto activated = activatedAt_.find(pid);
        bool withActivation = activated != activatedAt_.end() &&
                              g_get_monotonic_time() - activated->second < kActivationFocusWindowUs;
        // Nor is a focus in an application not yet announced as in front: the switch to it is
        // under way (GTK 4 gives the focus before, or instead of, its activation), and its
        // announcement reads the focused element.
        bool beforeAnnouncement = awaitingPid_ == pid || (announced_ && pid != announced_);
        state_.lastFocused[pid] = element;
        if (same || withActivation || beforeAnnouncement) return;
        queue(pid, element, "AXFocusedUIElementChanged");
        return;
    }
    // Platform quirk: selecting in one application can clear another's selection (X PRIMARY), and
    // that background application then reports a selection change the user did not make there.
    // Selection changes count only from the application in front.
    if (state_.activePid && pid != state_.activePid) return;
    queue(pid, element, "AXSelectedTextChanged");
}

// ----- the application in front ---------------------------------------------------------------

void LinuxAccessibility::onWindowActivated(pid_t pid, AtspiAccessible* window) {
    state_.activeWindows[pid] = GRef<AtspiAccessible>::retain(window);
    // The fast path, checked against the window system as far as its events have come (no
    // request): an activation from an application that is not in front (Qt 5 losing the focus)
    // is not a switch. The focus event comes on another connection and may still be on its way:
    // then the activation is kept, and that focus completes it if it comes soon.
    front_.catchUp();
    pid_t front = front_.front();
    if (front && front != pid) {
        earlyActivation_ = {pid, g_get_monotonic_time()};
        return;
    }
    activate(pid);
}

void LinuxAccessibility::onFrontChanged(pid_t pid) {
    if (pid == announced_) {
        state_.activePid = pid;
        return;
    }
    const auto early = std::exchange(earlyActivation_, {});
    if (early.pid == pid && g_get_monotonic_time() - early.at < gint64(kOwnActivationGraceSeconds * G_USEC_PER_SEC)) {
        activate(pid);
        return;
    }
    // An application with accessibility is given a moment to announce itself with its focused
    // window; one not on the bus (yet: a window maps before its toolkit has registered) a little
    // longer, after which it is announced as an application without accessibility.
    const double grace = state_.application(pid) ? kOwnActivationGraceSeconds : kRegistrationGraceSeconds;
    awaitingPid_ = pid;
    GLibMainLoop::runAfter(grace, [this, pid] {
        if (awaitingPid_ != pid) return;
        awaitingPid_ = 0;
        if (front_.front() == pid) activate(pid);
    });
}

void LinuxAccessibility::activate(pid_t pid) {
    // The host's own windows: the host is never followed.
    if (pid == getpid()) return;
    if (awaitingPid_ == pid) awaitingPid_ = 0;
    state_.activePid = pid;
    if (pid == announced_) return;
    announced_ = pid;
    activatedAt_[pid] = g_get_monotonic_time();
    if (onApplicationEvent) onApplicationEvent(NSWorkspaceDidActivateApplicationNotification, pid);
}

bool LinuxAccessibility::frontFocusIsTerminal() {
    if (!state_.activePid) return false;
    auto focused = std::dynamic_pointer_cast<const AtspiElement>(focusedElementOf(state_.activePid));
    if (!focused || !focused->accessible()) return false;
    AtspiCall call(focused->accessible());
    if (!call) return false;
    AtspiRole role = atspi_accessible_get_role(focused->accessible(), call.err());
    return call.ok() && role == ATSPI_ROLE_TERMINAL;
}

GRef<AtspiAccessible> LinuxAccessibility::activeWindowOf(pid_t pid) {
    auto app = state_.application(pid);
    if (!app) return {};
    gint n = 0;
    {
        AtspiCall call(app.get());
        if (!call) return {};
        n = atspi_accessible_get_child_count(app.get(), call.err());
        if (!call.ok()) return {};
    }
    GRef<AtspiAccessible> showing;
    for (gint i = 0; i < n && i < 50; ++i) {
        GRef<AtspiAccessible> window;
        {
            AtspiCall call(app.get());
            if (!call) return showing;
            window = GRef<AtspiAccessible>::adopt(atspi_accessible_get_child_at_index(app.get(), i, call.err()));
            if (!call.ok() || !window) return showing;
        }
        auto states = statesOf(window.get());
        if (!states) continue;
        if (atspi_state_set_contains(states.get(), ATSPI_STATE_ACTIVE)) return window;
        if (!showing && atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) showing = window;
    }
    return showing;
}

void LinuxAccessibility::queue(pid_t pid, std::shared_ptr<const AtspiElement> element,
                               const std::string& notification) {
    // One user action often yields several events (selection and caret, focus twice): those that
    // arrive together reach the observers once.
    for (const auto& p : pending_)
        if (p.notification == notification && p.element->equals(*element)) return;
    pending_.push_back({pid, std::move(element), notification});
    if (flushScheduled_) return;
    flushScheduled_ = true;
    // GTK reports one selection change as a caret event and a selection event that may arrive
    // a few milliseconds apart: held that long, they reach the handler once.
    GLibMainLoop::runAfter(notification == "AXSelectedTextChanged" ? kCoalesceSeconds : 0, [this] { flush(); });
}

void LinuxAccessibility::flush() {
    flushScheduled_ = false;
    auto batch = std::move(pending_);
    pending_.clear();
    for (const auto& p : batch) {
        // Collected first: a callback may register more and so change the lists.
        struct Delivery {
            std::shared_ptr<Observer> observer;
            AXObserverCallback callback;
            void* refcon;
            uint64_t registration;
        };
        std::vector<Delivery> deliveries;
        for (const auto& weak : observers_) {
            auto o = weak.lock();
            if (!o || !o->attached || o->pid != p.pid) continue;
            for (const auto& r : o->registrations) {
                if (r.notification != p.notification) continue;
                auto target = std::static_pointer_cast<const AtspiElement>(r.element);
                // A registration on the application hears every element of it.
                if (target->isApplication() || target->equals(*p.element))
                    deliveries.push_back({o, o->callback, r.refcon, r.id});
            }
        }
        ElementRef element = p.element;
        // One removed by an earlier callback of the batch is not called.
        for (const auto& d : deliveries)
            if (d.observer->holds(d.registration)) d.callback(d.observer, element, p.notification, d.refcon);
    }
    std::erase_if(observers_, [](const std::weak_ptr<Observer>& w) { return w.expired(); });
}

// ----- window moves and resizes, from X11 ----------------------------------------------------

void LinuxAccessibility::watchWindowsOf(pid_t pid) {
    if (!watchedPids_.insert(pid).second) return;  // its windows mapped later come through onWindowMapped
    for (XWindow w : front_.windowsOf(pid)) watchWindow(pid, w);
    XFlush(x_.display());
}

void LinuxAccessibility::onWindowMapped(pid_t pid, XWindow window) {
    if (!watchedPids_.count(pid)) return;
    watchWindow(pid, window);
    XFlush(x_.display());
}

void LinuxAccessibility::watchWindow(pid_t pid, XWindow w) {
    if (watchedWindows_.count(w)) return;
    // Another client's window: StructureNotify may be selected by any number of clients.
    // Selected before the frame is read, so that a move in between is not missed.
    x_.selectInput(w, StructureNotifyMask);
    auto frame = x_.windowFrame(w);
    if (frame) watchedWindows_[w] = {pid, *frame};
}

void LinuxAccessibility::onXEvent(XEvent& event) {
    if (event.type == DestroyNotify) {
        watchedWindows_.erase(event.xdestroywindow.window);
        return;
    }
    if (event.type != ConfigureNotify) return;
    auto it = watchedWindows_.find(event.xconfigure.window);
    if (it == watchedWindows_.end()) return;
    auto frame = x_.windowFrame(it->first);
    if (!frame) return;
    auto [pid, before] = it->second;
    it->second.second = *frame;
    // The element whose on-screen selection moved with the window: the focused one when known.
    std::shared_ptr<const AtspiElement> element;
    if (auto f = state_.lastFocused.find(pid); f != state_.lastFocused.end()) element = f->second;
    else element = std::make_shared<AtspiElement>(state_.application(pid), pid, true);
    if (!element->accessible()) return;
    if (frame->size != before.size) queue(pid, element, "AXWindowResized");
    if (frame->origin != before.origin) queue(pid, element, "AXWindowMoved");
}

}  // namespace korvale::platform::linuxdesk
