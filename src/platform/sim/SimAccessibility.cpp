// The simulated accessibility service. Applications and their element trees come from the world
// description; answers are computed from each element's stored attributes, its text model and
// layout, unless a scenario scripted an answer or injected an error for that element and
// attribute. Observers keep their registrations; a notification posted from an element reaches
// every registration on that element or on its application's own element, through the
// observer's run-loop source, so the main loop delivers it only in a mode the source was added
// for. Every request the library makes is written to the desktop's request log.
#include "platform/sim/SimAccessibility.h"

#include <algorithm>

#include "platform/sim/SimAxValues.h"

namespace korvale::sim {

namespace {

std::string appElementId(pid_t pid) { return "app:" + std::to_string(pid); }

// An element handle: which process, which element. Handles are cheap; the element lives in the
// service, so a handle to an element of a quit application simply stops resolving.
class SimElementHandle final : public UIElement {
public:
    SimElementHandle(pid_t pid, std::string id) : pid_(pid), id_(std::move(id)) {}
    bool equals(const UIElement& other) const override {
        auto* o = dynamic_cast<const SimElementHandle*>(&other);
        return o && o->pid_ == pid_ && o->id_ == id_;
    }
    std::size_t hash() const override { return std::hash<std::string>()(id_); }
    pid_t processIdentifier() const override { return pid_; }
    std::string describe() const override { return id_; }
    const std::string& id() const { return id_; }

private:
    pid_t pid_;
    std::string id_;
};

CGRect rectFrom(const json& v) {
    if (!v.is_array() || v.size() != 4) throw SimError{"a frame is [x, y, width, height]"};
    return {{v[0].get<double>(), v[1].get<double>()}, {v[2].get<double>(), v[3].get<double>()}};
}

// What a text element shows of `r`: its characters, or bullets for a secret field.
std::string shown(const TextModel& t, CFRange r, bool secure) {
    if (!secure) return t.substring(r);
    std::string bullets;
    for (int64_t i = 0; i < r.length; ++i) bullets += "\xE2\x80\xA2";
    return bullets;
}

CFRange rangeFrom(const json& v) {
    if (!v.is_array() || v.size() != 2 || !v[0].is_number_integer() || !v[1].is_number_integer())
        throw SimError{"a range is [location, length] of integers"};
    return {v[0].get<int64_t>(), v[1].get<int64_t>()};
}

std::u16string utf16From(const json& v) {
    if (!v.is_string()) throw SimError{"a text is a string"};
    auto t = utf8ToUtf16(v.get<std::string>());
    if (!t) throw SimError{"a text must be well-formed UTF-8"};
    return *t;
}

}  // namespace

struct SimAccessibility::Element {
    std::string id;
    pid_t pid = 0;
    bool isApp = false;
    std::string parent;  // empty: the application element is the parent
    std::vector<std::string> children;
    std::optional<std::string> role;
    std::map<std::string, ObjectRef> attributes;  // nullptr: present, without a value
    std::map<std::string, ObjectRef> scripted;    // nullptr: answers "no value"
    std::map<std::string, AXError> errors;
    std::map<std::string, bool> settable;  // overrides of the defaults
    std::optional<TextModel> text;
    bool editable = false;
    // A secret field ("AXSubrole" "AXSecureTextField"): its text reads back masked, one bullet
    // per character, as the platform masks it — the length still shows.
    bool secure = false;
    std::optional<CGRect> frame;
};

struct SimAccessibility::App {
    pid_t pid = 0;
    std::string state = "ok";  // "ok", "hung" (no answer) or "gone" (quit)
    std::string focused;       // element id, or empty
    std::vector<std::string> roots;
    int failObserverCreate = 0;  // failures still to come; -1: every time
};

struct SimAccessibility::Observer final : AXObserver {
    pid_t pid = 0;
    AXObserverCallback callback = nullptr;
    bool alive = true;
    // The source keeps the observer alive (as the run loop keeps the source), never the reverse.
    std::weak_ptr<RunLoopSource> source;
    struct Registration {
        std::string elementId, notification;
        void* refcon;
        uint64_t id;  // a delivery already signalled checks it is still there
    };
    std::vector<Registration> registrations;
};

namespace {
struct ObserverSource final : RunLoopSource {
    std::shared_ptr<SimAccessibility::Observer> observer;
    // The observer dies with its application and with the world it was made in.
    bool isValid() const override { return observer && observer->alive; }
};
}  // namespace

SimAccessibility::SimAccessibility(Desktop& desktop) : desktop_(desktop) {
    desktop_.registerWorldLoader([this](const json& world) { loadWorld(world); });
    desktop_.registerStateReporter([this](json& state) { report(state); });
    registerActions();
}

SimAccessibility::~SimAccessibility() = default;

void SimAccessibility::reset() {
    for (auto& weak : observers_)
        if (auto o = weak.lock()) o->alive = false;  // a handle the library still holds goes dead
    elements_.clear();
    apps_.clear();
    observers_.clear();
    observersCreated_ = registrations_ = heldRegistrations_ = 0;
    addFailures_.clear();
}

// ---------------------------------------------------------------------------------------------
// World

void SimAccessibility::loadWorld(const json& world) {
    if (!world.contains("apps")) return;
    const json& apps = world.at("apps");
    if (!apps.is_array()) throw SimError{"\"apps\" is an array"};
    std::vector<std::pair<Element*, const json*>> pending;
    std::vector<std::pair<Element*, const json*>> appPending;
    for (const auto& desc : apps) {
        if (!desc.is_object() || !desc.contains("pid") || !desc["pid"].is_number_integer())
            throw SimError{"every application has an integer \"pid\""};
        pid_t pid = desc["pid"].get<pid_t>();
        if (apps_.count(pid)) throw SimError{"two applications with pid " + std::to_string(pid)};
        auto a = std::make_unique<App>();
        a->pid = pid;
        a->state = desc.value("ax", std::string("ok"));
        if (a->state != "ok" && a->state != "hung" && a->state != "gone")
            throw SimError{"\"ax\" is \"ok\", \"hung\" or \"gone\""};
        auto appElement = std::make_unique<Element>();
        appElement->id = appElementId(pid);
        appElement->pid = pid;
        appElement->isApp = true;
        appElement->attributes["AXRole"] = makeString("AXApplication");
        if (desc.contains("name") && desc["name"].is_string())
            appElement->attributes["AXTitle"] = makeString(desc["name"].get<std::string>());
        Element* appRaw = appElement.get();
        elements_[appElement->id] = std::move(appElement);
        App& app = *a;
        apps_[pid] = std::move(a);
        if (desc.contains("elements")) {
            if (!desc["elements"].is_array()) throw SimError{"\"elements\" is an array"};
            int i = 0;
            for (const auto& child : desc["elements"])
                loadElement(app, child, "", appElementId(pid) + "/" + std::to_string(i++), pending,
                            desktop_.placement(child));
        }
        appPending.push_back({appRaw, &desc});
    }
    // Values second: they may name any element of the world.
    for (auto& [e, desc] : pending) loadValues(*e, *desc);
    for (auto& [appEl, desc] : appPending) {
        App& a = app(appEl->pid);
        if (desc->contains("focused") && !(*desc)["focused"].is_null()) {
            std::string f = (*desc)["focused"].get<std::string>();
            if (element(f).pid != a.pid) throw SimError{"focused element " + f + " is not in its application"};
            a.focused = f;
        }
        if (desc->contains("app_attributes"))
            for (auto it = (*desc)["app_attributes"].begin(); it != (*desc)["app_attributes"].end(); ++it)
                appEl->attributes[it.key()] = typed(it.value(), appEl->id);
        if (desc->contains("app_settable"))
            for (auto it = (*desc)["app_settable"].begin(); it != (*desc)["app_settable"].end(); ++it)
                appEl->settable[it.key()] = it.value().get<bool>();
    }
}

void SimAccessibility::loadElement(App& app, const json& desc, const std::string& parent,
                                   const std::string& fallbackId,
                                   std::vector<std::pair<Element*, const json*>>& pending,
                                   CGPoint origin) {
    if (!desc.is_object()) throw SimError{"an element is a JSON object"};
    auto e = std::make_unique<Element>();
    e->id = desc.value("id", fallbackId);
    if (e->id.rfind("app:", 0) == 0 && e->id != fallbackId) throw SimError{"ids beginning \"app:\" are reserved"};
    if (elements_.count(e->id)) throw SimError{"element id \"" + e->id + "\" is used twice"};
    e->pid = app.pid;
    e->parent = parent;
    if (desc.contains("role")) e->role = desc["role"].get<std::string>();
    if (desc.contains("frame")) {
        // Given on its display; kept in screen points.
        e->frame = rectFrom(desc["frame"]);
        e->frame->origin.x += origin.x;
        e->frame->origin.y += origin.y;
    }
    e->editable = desc.value("editable", false);
    e->secure = desc.value("secure", false);
    if (e->secure && !e->role) e->role = "AXTextField";
    if (desc.contains("text")) {
        TextModel t;
        t.text = utf16From(desc["text"]);
        if (desc.contains("selection")) t.selection = rangeFrom(desc["selection"]);
        else t.selection = {t.length(), 0};
        if (!t.contains(t.selection)) throw SimError{"the selection of " + e->id + " lies outside its text"};
        if (desc.contains("glyph")) {
            t.cellWidth = desc["glyph"].at(0).get<double>();
            t.lineHeight = desc["glyph"].at(1).get<double>();
        }
        e->text = std::move(t);
    }
    if (desc.contains("errors"))
        for (auto it = desc["errors"].begin(); it != desc["errors"].end(); ++it)
            e->errors[it.key()] = it.value().get<AXError>();
    if (desc.contains("settable"))
        for (auto it = desc["settable"].begin(); it != desc["settable"].end(); ++it)
            e->settable[it.key()] = it.value().get<bool>();
    Element& ref = *e;
    if (parent.empty()) app.roots.push_back(ref.id);
    else element(parent).children.push_back(ref.id);
    elements_[ref.id] = std::move(e);
    pending.push_back({&ref, &desc});
    if (desc.contains("children")) {
        int i = 0;
        for (const auto& child : desc["children"])
            loadElement(app, child, ref.id, ref.id + "/" + std::to_string(i++), pending,
                        desktop_.placement(child, origin));
    }
}

void SimAccessibility::loadValues(Element& e, const json& desc) {
    if (desc.contains("attributes"))
        for (auto it = desc["attributes"].begin(); it != desc["attributes"].end(); ++it)
            e.attributes[it.key()] = typed(it.value(), e.id);
    if (desc.contains("scripted"))
        for (auto it = desc["scripted"].begin(); it != desc["scripted"].end(); ++it)
            e.scripted[it.key()] = typed(it.value(), e.id);
}

SimAccessibility::Element& SimAccessibility::element(const std::string& id) {
    auto it = elements_.find(id);
    if (it == elements_.end()) throw SimError{"no element \"" + id + "\""};
    return *it->second;
}

SimAccessibility::App& SimAccessibility::app(pid_t pid) {
    auto it = apps_.find(pid);
    if (it == apps_.end()) throw SimError{"no application with pid " + std::to_string(pid)};
    return *it->second;
}

ObjectRef SimAccessibility::handle(const std::string& id) const {
    auto it = elements_.find(id);
    pid_t pid = it == elements_.end() ? 0 : it->second->pid;
    return std::make_shared<SimElementHandle>(pid, id);
}

ObjectRef SimAccessibility::typed(const json& value, const std::string& holderId) {
    pid_t pid = element(holderId).pid;
    AxValueContext context{
        [this](const std::string& id) {
            element(id);
            return handle(id);
        },
        [pid, holderId](int64_t offset) -> ObjectRef { return makeTextMarker(pid, holderId, offset); }};
    return parseAxValue(value, context);
}

// ---------------------------------------------------------------------------------------------
// Requests

AXError SimAccessibility::resolve(const ElementRef& ref, Element*& out) {
    out = nullptr;
    auto* h = dynamic_cast<const SimElementHandle*>(ref.get());
    if (!h) return kAXErrorIllegalArgument;
    // A process the user has not trusted gets nothing out of the service.
    if (!desktop_.trusted) return kAXErrorAPIDisabled;
    auto a = apps_.find(h->processIdentifier());
    if (a == apps_.end() || a->second->state == "gone") return kAXErrorInvalidUIElement;
    if (a->second->state == "hung") return kAXErrorCannotComplete;
    auto e = elements_.find(h->id());
    if (e == elements_.end()) return kAXErrorInvalidUIElement;
    out = e->second.get();
    return kAXErrorSuccess;
}

void SimAccessibility::logElementCall(json entry, const ElementRef& ref) {
    json ordered = {{"call", entry["call"]}};
    ordered["pid"] = ref ? json(ref->processIdentifier()) : json(nullptr);
    ordered["element"] = ref ? json(ref->describe()) : json(nullptr);
    for (auto it = entry.begin(); it != entry.end(); ++it) ordered[it.key()] = it.value();
    desktop_.logRequest(std::move(ordered));
}

bool SimAccessibility::isProcessTrustedWithOptions(bool prompt) {
    if (prompt && !desktop_.trusted) ++desktop_.promptRequests;
    desktop_.logRequest({{"call", "AXIsProcessTrustedWithOptions"}, {"prompt", prompt},
                         {"result", desktop_.trusted}});
    return desktop_.trusted;
}

ElementRef SimAccessibility::createApplication(pid_t pid) {
    // Like the platform, this checks nothing: the handle of a process that does not exist simply
    // answers kAXErrorInvalidUIElement.
    desktop_.logRequest({{"call", "AXUIElementCreateApplication"}, {"pid", pid}, {"element", appElementId(pid)}});
    return std::make_shared<SimElementHandle>(pid, appElementId(pid));
}

AXError SimAccessibility::readAttribute(Element& e, const std::string& attribute, ObjectRef* value) {
    if (auto it = e.errors.find(attribute); it != e.errors.end()) return it->second;
    auto answer = [&](const ObjectRef& v) { return (*value = v) ? kAXErrorSuccess : kAXErrorNoValue; };
    if (auto it = e.scripted.find(attribute); it != e.scripted.end()) return answer(it->second);
    if (auto it = e.attributes.find(attribute); it != e.attributes.end()) return answer(it->second);
    App& a = app(e.pid);
    if (attribute == "AXRole" && e.role) return answer(makeString(*e.role));
    if (attribute == "AXSubrole" && e.secure) return answer(makeString("AXSecureTextField"));
    // Every element has the attribute; only some have a value for it.
    if (attribute == "AXSubrole") return kAXErrorNoValue;
    if (attribute == "AXChildren") {
        std::vector<ObjectRef> children;
        for (const auto& id : e.isApp ? a.roots : e.children) children.push_back(handle(id));
        return answer(std::make_shared<ArrayObject>(std::move(children)));
    }
    if (e.isApp) {
        if (attribute == "AXFocusedUIElement") return a.focused.empty() ? kAXErrorNoValue : answer(handle(a.focused));
        return kAXErrorAttributeUnsupported;
    }
    if (attribute == "AXParent") return answer(handle(e.parent.empty() ? appElementId(e.pid) : e.parent));
    if (attribute == "AXFocused") return answer(makeBoolean(a.focused == e.id));
    if (e.frame) {
        if (attribute == "AXPosition") return answer(makePoint(e.frame->origin));
        if (attribute == "AXSize") return answer(makeSize(e.frame->size));
        if (attribute == "AXFrame") return answer(makeRect(*e.frame));
    }
    if (e.text) {
        const TextModel& t = *e.text;
        if (attribute == "AXValue") return answer(makeString(shown(t, {0, t.length()}, e.secure)));
        if (attribute == "AXSelectedText") return answer(makeString(shown(t, t.selection, e.secure)));
        if (attribute == "AXSelectedTextRange") return answer(makeRange(t.selection));
        if (attribute == "AXNumberOfCharacters") return answer(makeInteger(t.length()));
        if (attribute == "AXSelectedTextMarkerRange")
            return answer(AXTextMarkerRangeCreate(
                makeTextMarker(e.pid, e.id, t.selection.location),
                makeTextMarker(e.pid, e.id, t.selection.location + t.selection.length)));
    }
    return kAXErrorAttributeUnsupported;
}

AXError SimAccessibility::readParameterized(Element& e, const std::string& attribute,
                                            const ObjectRef& parameter, ObjectRef* value) {
    if (auto it = e.errors.find(attribute); it != e.errors.end()) return it->second;
    auto answer = [&](const ObjectRef& v) { return (*value = v) ? kAXErrorSuccess : kAXErrorNoValue; };
    // A marker range of this element, in the order given.
    std::optional<std::pair<int64_t, int64_t>> markers;
    if (CFGetTypeID(parameter) == TypeID::TextMarkerRange) {
        auto r = std::static_pointer_cast<const TextMarkerRange>(parameter);
        auto s = decodeTextMarker(r->start), f = decodeTextMarker(r->end);
        if (s && f && s->pid == e.pid && f->pid == e.pid && s->elementId == e.id && f->elementId == e.id)
            markers = std::make_pair(s->offset, f->offset);
    }
    if (markers) {
        const char* order = markers->first > markers->second ? ":reversed" : ":forward";
        if (auto it = e.scripted.find(attribute + order); it != e.scripted.end()) return answer(it->second);
    }
    if (auto it = e.scripted.find(attribute); it != e.scripted.end()) return answer(it->second);
    if (!e.text) return kAXErrorParameterizedAttributeUnsupported;
    const TextModel& t = *e.text;
    CFRange range;
    if (attribute == "AXBoundsForRange" || attribute == "AXStringForRange") {
        if (!AXValueGetValue(parameter, AXValueType::CFRange, &range) || !t.contains(range))
            return kAXErrorIllegalArgument;
    } else if (attribute == "AXBoundsForTextMarkerRange" || attribute == "AXStringForTextMarkerRange") {
        if (!markers) return kAXErrorIllegalArgument;
        // Markers outlive edits: they are clamped into the text as it is now. A reversed range is
        // read as the same span (a scenario scripts ":reversed" for an application that differs).
        int64_t a = std::clamp<int64_t>(markers->first, 0, t.length());
        int64_t b = std::clamp<int64_t>(markers->second, 0, t.length());
        range = {std::min(a, b), std::max(a, b) - std::min(a, b)};
    } else {
        return kAXErrorParameterizedAttributeUnsupported;
    }
    if (attribute.rfind("AXString", 0) == 0) return answer(makeString(shown(t, range, e.secure)));
    if (!e.frame) return kAXErrorNoValue;
    return answer(makeRect(t.bounds(range, *e.frame)));
}

AXError SimAccessibility::copyAttributeValue(const ElementRef& ref, const std::string& attribute,
                                             ObjectRef* value) {
    Element* e;
    ObjectRef v;
    AXError rc = resolve(ref, e);
    if (rc == kAXErrorSuccess) rc = readAttribute(*e, attribute, &v);
    json entry = {{"call", "AXUIElementCopyAttributeValue"}, {"attribute", attribute}, {"result", rc}};
    if (rc == kAXErrorSuccess) entry["value"] = describeAxValue(v);
    logElementCall(std::move(entry), ref);
    if (value) *value = rc == kAXErrorSuccess ? v : nullptr;
    return rc;
}

AXError SimAccessibility::copyParameterizedAttributeValue(const ElementRef& ref, const std::string& attribute,
                                                          const ObjectRef& parameter, ObjectRef* value) {
    Element* e;
    ObjectRef v;
    AXError rc = resolve(ref, e);
    if (rc == kAXErrorSuccess) rc = readParameterized(*e, attribute, parameter, &v);
    json entry = {{"call", "AXUIElementCopyParameterizedAttributeValue"},
                  {"attribute", attribute},
                  {"parameter", describeAxValue(parameter)},
                  {"result", rc}};
    if (rc == kAXErrorSuccess) entry["value"] = describeAxValue(v);
    logElementCall(std::move(entry), ref);
    if (value) *value = rc == kAXErrorSuccess ? v : nullptr;
    return rc;
}

bool SimAccessibility::settableByDefault(const Element& e, const std::string& attribute) const {
    if (auto it = e.settable.find(attribute); it != e.settable.end()) return it->second;
    if (e.isApp) return attribute == "AXEnhancedUserInterface";
    if (e.text && attribute == "AXValue") return e.editable;
    if (e.text && attribute == "AXSelectedTextRange") return true;
    return false;
}

AXError SimAccessibility::isAttributeSettable(const ElementRef& ref, const std::string& attribute,
                                              bool* settable) {
    Element* e;
    AXError rc = resolve(ref, e);
    if (rc == kAXErrorSuccess)
        if (auto it = e->errors.find(attribute); it != e->errors.end()) rc = it->second;
    bool flag = rc == kAXErrorSuccess && settableByDefault(*e, attribute);
    json entry = {{"call", "AXUIElementIsAttributeSettable"}, {"attribute", attribute}, {"result", rc}};
    if (rc == kAXErrorSuccess) entry["settable"] = flag;
    logElementCall(std::move(entry), ref);
    if (rc == kAXErrorSuccess && settable) *settable = flag;  // untouched on failure, as the platform
    return rc;
}

AXError SimAccessibility::setAttributeValue(const ElementRef& ref, const std::string& attribute,
                                            const ObjectRef& value) {
    Element* e;
    AXError rc = resolve(ref, e);
    if (rc == kAXErrorSuccess)
        if (auto it = e->errors.find(attribute); it != e->errors.end()) rc = it->second;
    if (rc == kAXErrorSuccess && !settableByDefault(*e, attribute)) rc = kAXErrorAttributeUnsupported;
    if (rc == kAXErrorSuccess && !value) rc = kAXErrorIllegalArgument;
    if (rc == kAXErrorSuccess) {
        CFRange range;
        if (e->text && attribute == "AXValue") {
            if (CFGetTypeID(value) != TypeID::String) rc = kAXErrorIllegalArgument;
            else if (auto t = utf8ToUtf16(static_cast<const StringObject&>(*value).value)) replaceText(*e, *t, true);
            else rc = kAXErrorIllegalArgument;
        } else if (e->text && attribute == "AXSelectedTextRange") {
            if (!AXValueGetValue(value, AXValueType::CFRange, &range)) rc = kAXErrorIllegalArgument;
            else if (setSelectionIfChanged(*e, range)) postNotification(e->id, "AXSelectedTextChanged");
        } else {
            e->attributes[attribute] = value;
        }
    }
    logElementCall({{"call", "AXUIElementSetAttributeValue"}, {"attribute", attribute},
                    {"value", describeAxValue(value)}, {"result", rc}},
                   ref);
    return rc;
}

AXError SimAccessibility::copyAttributeNames(const ElementRef& ref, ObjectRef* names) {
    Element* e;
    AXError rc = resolve(ref, e);
    // "AXAttributeNames" names this request in "errors", since it reads no single attribute.
    if (rc == kAXErrorSuccess)
        if (auto it = e->errors.find("AXAttributeNames"); it != e->errors.end()) rc = it->second;
    ObjectRef list;
    if (rc == kAXErrorSuccess) {
        std::set<std::string> all = {"AXChildren"};
        if (e->role) all.insert("AXRole");
        if (e->secure) all.insert("AXSubrole");
        if (e->isApp) all.insert("AXFocusedUIElement");
        else all.insert({"AXParent", "AXFocused"});
        if (e->frame) all.insert({"AXPosition", "AXSize", "AXFrame"});
        if (e->text)
            all.insert({"AXValue", "AXSelectedText", "AXSelectedTextRange", "AXNumberOfCharacters",
                        "AXSelectedTextMarkerRange"});
        for (const auto& [k, v] : e->attributes) all.insert(k);
        for (const auto& [k, v] : e->scripted)
            if (k.find(':') == std::string::npos && k.find("For") == std::string::npos) all.insert(k);
        std::vector<ObjectRef> items;
        for (const auto& n : all) items.push_back(makeString(n));
        list = std::make_shared<ArrayObject>(std::move(items));
    }
    json entry = {{"call", "AXUIElementCopyAttributeNames"}, {"result", rc}};
    if (list) entry["value"] = describeAxValue(list);
    logElementCall(std::move(entry), ref);
    if (names) *names = list;
    return rc;
}

AXError SimAccessibility::observerCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* out) {
    AXError rc = kAXErrorSuccess;
    auto a = apps_.find(pid);
    if (!out || !callback) rc = kAXErrorIllegalArgument;
    else if (a == apps_.end() || a->second->state == "gone") rc = kAXErrorInvalidUIElement;
    else if (a->second->failObserverCreate != 0) {
        if (a->second->failObserverCreate > 0) --a->second->failObserverCreate;
        rc = kAXErrorFailure;
    }
    desktop_.logRequest({{"call", "AXObserverCreate"}, {"pid", pid}, {"result", rc}});
    if (!out) return rc;
    if (rc != kAXErrorSuccess) {
        *out = nullptr;
        return rc;
    }
    auto o = std::make_shared<Observer>();
    o->pid = pid;
    o->callback = callback;
    // Observers the library let go of are dropped here, so that a notification costs a look at
    // the observers alive, not at every one ever made.
    std::erase_if(observers_, [](const std::weak_ptr<Observer>& w) { return w.expired(); });
    observers_.push_back(o);
    ++observersCreated_;
    *out = o;
    return rc;
}

AXError SimAccessibility::observerAddNotification(const AXObserverRef& observerRef, const ElementRef& ref,
                                                  const std::string& notification, void* refcon) {
    auto o = std::dynamic_pointer_cast<Observer>(observerRef);
    Element* e = nullptr;
    AXError rc = (!o || !o->alive) ? kAXErrorInvalidUIElementObserver : resolve(ref, e);
    if (rc == kAXErrorSuccess && e->pid != o->pid) rc = kAXErrorIllegalArgument;
    if (rc == kAXErrorSuccess) {
        for (auto& f : addFailures_) {
            if (f.remaining == 0 || (f.element && *f.element != e->id) ||
                (f.notification && *f.notification != notification))
                continue;
            if (f.remaining > 0) --f.remaining;
            rc = f.code;
            break;
        }
    }
    if (rc == kAXErrorSuccess)
        for (const auto& r : o->registrations)
            if (r.elementId == e->id && r.notification == notification) rc = kAXErrorNotificationAlreadyRegistered;
    if (rc == kAXErrorSuccess) {
        o->registrations.push_back({e->id, notification, refcon, ++nextRegistration_});
        ++registrations_;
        ++heldRegistrations_;
    }
    logElementCall({{"call", "AXObserverAddNotification"}, {"notification", notification}, {"result", rc}}, ref);
    return rc;
}

AXError SimAccessibility::observerRemoveNotification(const AXObserverRef& observerRef, const ElementRef& ref,
                                                     const std::string& notification) {
    auto o = std::dynamic_pointer_cast<Observer>(observerRef);
    Element* e = nullptr;
    AXError rc = (!o || !o->alive) ? kAXErrorInvalidUIElementObserver : resolve(ref, e);
    if (rc == kAXErrorSuccess) {
        auto it = std::find_if(o->registrations.begin(), o->registrations.end(), [&](const auto& r) {
            return r.elementId == e->id && r.notification == notification;
        });
        if (it == o->registrations.end()) {
            rc = kAXErrorNotificationNotRegistered;
        } else {
            o->registrations.erase(it);
            --heldRegistrations_;
        }
    }
    logElementCall({{"call", "AXObserverRemoveNotification"}, {"notification", notification}, {"result", rc}}, ref);
    return rc;
}

RunLoopSourceRef SimAccessibility::observerGetRunLoopSource(const AXObserverRef& observerRef) {
    auto o = std::dynamic_pointer_cast<Observer>(observerRef);
    if (!o) return nullptr;
    if (auto s = o->source.lock()) return s;
    auto s = std::make_shared<ObserverSource>();
    s->observer = o;
    o->source = s;
    return s;
}

// ---------------------------------------------------------------------------------------------
// The other applications' side

void SimAccessibility::postNotification(const std::string& elementId, const std::string& notification) {
    Element& e = element(elementId);
    if (app(e.pid).state == "gone") return;
    const std::string appId = appElementId(e.pid);
    auto concerned = std::static_pointer_cast<const UIElement>(handle(elementId));
    for (const auto& weak : observers_) {
        auto o = weak.lock();
        if (!o || !o->alive || o->pid != e.pid) continue;
        auto source = o->source.lock();
        if (!source) continue;  // never given to a run loop: nothing will service it
        for (const auto& r : o->registrations) {
            if (r.notification != notification || (r.elementId != elementId && r.elementId != appId)) continue;
            std::weak_ptr<Observer> target = o;
            desktop_.signalSource(source, [this, target, concerned, notification, refcon = r.refcon, id = r.id] {
                auto live = target.lock();
                if (!live || !live->alive) return;
                // Removed after the notification was posted: nothing is delivered for it.
                if (std::none_of(live->registrations.begin(), live->registrations.end(),
                                 [id](const auto& held) { return held.id == id; }))
                    return;
                desktop_.countCallback();
                live->callback(live, concerned, notification, refcon);
            });
        }
    }
}

bool SimAccessibility::setSelectionIfChanged(Element& e, CFRange range) {
    if (!e.text) return false;
    CFRange r = e.text->clamp(range);
    if (r == e.text->selection) return false;
    e.text->selection = r;
    return true;
}

void SimAccessibility::replaceText(Element& e, const std::u16string& text, bool notify) {
    CFRange before = e.text->selection;
    e.text->text = text;
    e.text->selection = e.text->clamp(before);
    if (!notify) return;
    postNotification(e.id, "AXValueChanged");
    if (e.text->selection != before) postNotification(e.id, "AXSelectedTextChanged");
}

bool SimAccessibility::acceptsPaste(pid_t pid) const {
    auto a = apps_.find(pid);
    if (a == apps_.end() || a->second->state == "gone" || a->second->focused.empty()) return false;
    auto e = elements_.find(a->second->focused);
    return e != elements_.end() && e->second->text && e->second->editable;
}

bool SimAccessibility::pasteIntoFocused(pid_t pid, const std::string& text) {
    auto a = apps_.find(pid);
    if (a == apps_.end() || a->second->state == "gone" || a->second->focused.empty()) return false;
    Element& e = element(a->second->focused);
    auto t = utf8ToUtf16(text);
    if (!e.text || !e.editable || !t) return false;
    e.text->replace(e.text->selection, *t);
    postNotification(e.id, "AXValueChanged");
    postNotification(e.id, "AXSelectedTextChanged");
    return true;
}

void SimAccessibility::forgetApplication(pid_t pid) {
    auto a = apps_.find(pid);
    if (a == apps_.end()) return;
    a->second->state = "gone";
    for (const auto& weak : observers_)
        if (auto o = weak.lock(); o && o->pid == pid) o->alive = false;
}

std::optional<std::string> SimAccessibility::textOf(const std::string& elementId) {
    auto it = elements_.find(elementId);
    if (it == elements_.end() || !it->second->text) return std::nullopt;
    return it->second->text->utf8();
}

void SimAccessibility::report(json& state) const {
    json& elements = state["elements"];
    if (!elements.is_object()) elements = json::object();
    for (const auto& [id, e] : elements_)
        if (e->text)
            elements[id] = {{"text", e->text->utf8()},
                            {"selection", {e->text->selection.location, e->text->selection.length}}};
    state["observers"] = observersCreated_;
    state["registrations"] = registrations_;
    state["registrations_held"] = heldRegistrations_;
}

// ---------------------------------------------------------------------------------------------
// Actions

void SimAccessibility::registerActions() {
    auto id = [](const json& a, const char* key) {
        if (!a.contains(key) || !a[key].is_string()) throw SimError{std::string("the action needs \"") + key + "\""};
        return a[key].get<std::string>();
    };
    desktop_.registerAction("focus", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        if (e.isApp) throw SimError{"an application element cannot take the focus"};
        App& owner = app(e.pid);
        bool changed = owner.focused != e.id;
        owner.focused = e.id;
        if (changed || a.value("force", false)) postNotification(e.id, "AXFocusedUIElementChanged");
    });
    desktop_.registerAction("select", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        if (e.text) setSelectionIfChanged(e, rangeFrom(a.at("range")));
        postNotification(e.id, "AXSelectedTextChanged");  // a selection gesture posts even when nothing moved
    });
    desktop_.registerAction("edit", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        if (!e.text) throw SimError{"element " + e.id + " holds no text"};
        replaceText(e, utf16From(a.at("text")), true);
    });
    auto windowAction = [this, id](const json& a, bool move) {
        Element& w = element(id(a, "window"));
        if (a.contains("frame")) {
            CGRect f = rectFrom(a["frame"]);
            const CGPoint origin = desktop_.placement(a);
            f.origin.x += origin.x;
            f.origin.y += origin.y;
            if (move && w.frame) {
                // Moving a window carries its contents along.
                double dx = f.origin.x - w.frame->origin.x, dy = f.origin.y - w.frame->origin.y;
                std::vector<std::string> stack = w.children;
                while (!stack.empty()) {
                    Element& c = element(stack.back());
                    stack.pop_back();
                    if (c.frame) c.frame->origin.x += dx, c.frame->origin.y += dy;
                    stack.insert(stack.end(), c.children.begin(), c.children.end());
                }
            }
            w.frame = f;
        }
        std::string notified = a.contains("notified") ? id(a, "notified") : w.id;
        postNotification(notified, move ? "AXWindowMoved" : "AXWindowResized");
    };
    desktop_.registerAction("move_window", [windowAction](const json& a) { windowAction(a, true); });
    desktop_.registerAction("resize_window", [windowAction](const json& a) { windowAction(a, false); });
    desktop_.registerAction("notify", [this, id](const json& a) {
        postNotification(element(id(a, "element")).id, id(a, "notification"));
    });
    desktop_.registerAction("set_attribute", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        std::string name = id(a, "attribute");
        if (a.value("remove", false)) {
            e.attributes.erase(name);
            if (name == "AXRole") e.role.reset();
            return;
        }
        const json& v = a.at("value");
        if (e.text && name == "AXValue" && v.is_string()) return replaceText(e, utf16From(v), false);
        if (e.text && name == "AXSelectedTextRange" && v.is_object() && v.contains("range")) {
            setSelectionIfChanged(e, rangeFrom(v["range"]));
            return;
        }
        if (e.isApp && name == "AXFocusedUIElement" && v.is_object() && v.contains("element")) {
            app(e.pid).focused = element(v["element"].get<std::string>()).id;
            return;
        }
        e.attributes[name] = typed(v, e.id);
    });
    desktop_.registerAction("script", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        std::string name = id(a, "attribute");
        if (!a.contains("answer")) e.scripted.erase(name);
        else e.scripted[name] = typed(a["answer"], e.id);
    });
    desktop_.registerAction("inject_error", [this, id](const json& a) {
        Element& e = element(id(a, "element"));
        std::string name = id(a, "attribute");
        AXError code = a.value("code", 0);
        if (code == 0) e.errors.erase(name);
        else e.errors[name] = code;
    });
    desktop_.registerAction("app_ax_state", [this](const json& a) {
        App& target = app(a.at("pid").get<pid_t>());
        std::string state = a.at("state").get<std::string>();
        if (state != "ok" && state != "hung" && state != "gone") throw SimError{"\"state\" is ok, hung or gone"};
        if (state == "gone") return forgetApplication(target.pid);
        target.state = state;
    });
    desktop_.registerAction("fail_observer_create", [this](const json& a) {
        app(a.at("pid").get<pid_t>()).failObserverCreate = a.value("times", -1);
    });
    desktop_.registerAction("fail_add_notification", [this](const json& a) {
        AddFailure f{std::nullopt, std::nullopt, a.value("code", kAXErrorNotificationUnsupported), a.value("times", -1)};
        if (a.contains("element")) f.element = element(a["element"].get<std::string>()).id;
        if (a.contains("notification")) f.notification = a["notification"].get<std::string>();
        addFailures_.push_back(std::move(f));
    });
}

}  // namespace korvale::sim
