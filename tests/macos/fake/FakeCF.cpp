// The fake Core Foundation and accessibility functions. Each CF object is a FakeObject with a
// retain count; the registry of live objects holds serial numbers and descriptions. An object
// released for the last time lets go of what it holds and is marked dead, its memory kept, so
// that a release too many is reported as such rather than touching freed memory. Elements, observers
// and run-loop sources wrap the simulated desktop's own, so the backend above talks to the
// simulated accessibility service through the real C signatures.
#include "FakeCF.h"

#include <ApplicationServices/ApplicationServices.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utf8.h>

#include "platform/macos/MacTextMarker.h"
#include "platform/sim/SimDesktop.h"

namespace pl = korvale::platform;
using korvale::sim::Desktop;

namespace korvale::macfake {

namespace {

enum : CFTypeID {
    kString = 7, kNumber = 22, kBoolean = 21, kArray = 19, kDictionary = 18, kElement = 101,
    kObserver = 102, kAXValue = 103, kMarker = 104, kMarkerRange = 105, kSource = 46, kRunLoop = 43, kOpaque = 42,
};
constexpr uint64_t kLive = 0x4c69766543466f62ull;  // "LiveCFob"
constexpr uint64_t kDead = 0x4465616443466f62ull;  // "DeadCFob"

void defaultFault(const std::string& message) {
    std::fprintf(stderr, "fake CF: %s\n", message.c_str());
    std::abort();
}
FaultHandler faultHandler = &defaultFault;
void fault(const std::string& message) { faultHandler(message); }

struct Registry {
    std::map<uint64_t, std::string> live;  // serial -> description
    uint64_t next = 0;
    long created = 0;
    std::map<int32_t, float> timeouts;
};
Registry& registry() {
    static Registry* r = new Registry();  // outlives every static object that may release
    return *r;
}

struct FakeObject {
    uint64_t magic = kLive;
    CFTypeID type;
    long refs = 1;
    bool immortal = false;
    uint64_t serial = 0;
    FakeObject(CFTypeID t, const std::string& what, bool forever = false) : type(t), immortal(forever) {
        if (immortal) return;
        serial = ++registry().next;
        ++registry().created;
        registry().live[serial] = what;
    }
    virtual ~FakeObject() = default;
    // Lets go of what the object holds, at its last release.
    virtual void finalize() {}
};

std::vector<FakeObject*>& graveyard() {
    static auto* dead = new std::vector<FakeObject*>();
    return *dead;
}

FakeObject* object(const void* cf, const char* caller) {
    if (!cf) {
        fault(std::string(caller) + "(NULL)");
        return nullptr;
    }
    auto* o = static_cast<FakeObject*>(const_cast<void*>(cf));
    if (o->magic != kLive) {
        fault(std::string(caller) + " of an object already released (over-release)");
        return nullptr;
    }
    return o;
}

template <typename T>
T* as(const void* cf, CFTypeID type, const char* caller) {
    FakeObject* o = object(cf, caller);
    if (!o) return nullptr;
    if (o->type != type) {
        fault(std::string(caller) + ": an object of type " + std::to_string(o->type) + " where type " +
              std::to_string(type) + " was expected");
        return nullptr;
    }
    return static_cast<T*>(o);
}


// UTF-8 for UTF-16 units, an unpaired surrogate as U+FFFD (another application may send one).
std::string lossyUtf8(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = 0xFFFD;
        utf8::append(cp, std::back_inserter(out));
    }
    return out;
}

struct FakeString final : FakeObject {
    std::u16string units;
    FakeString(std::u16string u, bool forever = false)
        : FakeObject(kString, "CFString \"" + lossyUtf8(u) + "\"", forever), units(std::move(u)) {}
};
struct FakeNumber final : FakeObject {
    bool isFloat;
    int64_t integer;
    double real;
    FakeNumber(bool f, int64_t i, double r) : FakeObject(kNumber, "CFNumber"), isFloat(f), integer(i), real(r) {}
};
struct FakeBoolean final : FakeObject {
    bool value;
    explicit FakeBoolean(bool v) : FakeObject(kBoolean, "CFBoolean", true), value(v) {}
};
struct FakeArray final : FakeObject {
    std::vector<const void*> values;
    CFArrayCallBacks callbacks{};
    FakeArray() : FakeObject(kArray, "CFArray") {}
    void finalize() override {
        if (callbacks.release)
            for (const void* v : values) callbacks.release(nullptr, v);
        values.clear();
    }
};
struct FakeDictionary final : FakeObject {
    std::vector<std::pair<const void*, const void*>> entries;
    CFDictionaryKeyCallBacks keyCallbacks{};
    CFDictionaryValueCallBacks valueCallbacks{};
    FakeDictionary() : FakeObject(kDictionary, "CFDictionary") {}
    void finalize() override {
        for (auto& [k, v] : entries) {
            if (keyCallbacks.release) keyCallbacks.release(nullptr, k);
            if (valueCallbacks.release) valueCallbacks.release(nullptr, v);
        }
        entries.clear();
    }
};
struct FakeElement final : FakeObject {
    pl::ElementRef sim;
    explicit FakeElement(pl::ElementRef e) : FakeObject(kElement, "AXUIElement " + e->describe()), sim(std::move(e)) {}
    void finalize() override { sim.reset(); }
};
struct FakeAXValue final : FakeObject {
    AXValueType kind;
    std::string bytes;
    FakeAXValue(AXValueType k, std::string b) : FakeObject(kAXValue, "AXValue"), kind(k), bytes(std::move(b)) {}
};
struct FakeMarker final : FakeObject {
    std::string bytes;
    explicit FakeMarker(std::string b) : FakeObject(kMarker, "AXTextMarker"), bytes(std::move(b)) {}
};
struct FakeMarkerRange final : FakeObject {
    const void* start;
    const void* end;
    FakeMarkerRange(const void* s, const void* e) : FakeObject(kMarkerRange, "AXTextMarkerRange"), start(s), end(e) {
        CFRetain(start);
        CFRetain(end);
    }
    void finalize() override {
        CFRelease(start);
        CFRelease(end);
    }
};
struct FakeOpaque final : FakeObject {
    FakeOpaque() : FakeObject(kOpaque, "CFDate") {}
};
struct FakeRunLoop final : FakeObject {
    std::vector<const void*> sources;  // retained while they are in the loop
    FakeRunLoop() : FakeObject(kRunLoop, "CFRunLoop", true) {}
};
FakeRunLoop& mainRunLoop() {
    static FakeRunLoop* loop = new FakeRunLoop();
    return *loop;
}
struct FakeSource final : FakeObject {
    pl::RunLoopSourceRef sim;
    explicit FakeSource(pl::RunLoopSourceRef s) : FakeObject(kSource, "CFRunLoopSource"), sim(std::move(s)) {}
    void finalize() override { sim.reset(); }
};
struct FakeObserver final : FakeObject {
    pl::AXObserverRef sim;
    AXObserverCallback callback;
    FakeSource* source = nullptr;  // made on first request, owned here
    std::vector<uintptr_t> registrations;
    FakeObserver(pl::AXObserverRef s, AXObserverCallback cb)
        : FakeObject(kObserver, "AXObserver"), sim(std::move(s)), callback(cb) {}
    void finalize() override;
};

// Registrations by number: the simulated service hands the number back as its context. The
// observer is kept disguised, so that this table never keeps a leaked observer reachable.
struct Registration {
    uintptr_t disguisedObserver;
    void* refcon;
};
std::map<uintptr_t, Registration>& registrations() {
    static auto* table = new std::map<uintptr_t, Registration>();
    return *table;
}
uintptr_t nextRegistration = 0;

void FakeObserver::finalize() {
    for (uintptr_t id : registrations) korvale::macfake::registrations().erase(id);
    if (source) {
        // Releasing an observer invalidates its source: the run loop lets go of it.
        auto& loop = mainRunLoop().sources;
        for (auto it = loop.begin(); it != loop.end();)
            if (*it == source) {
                it = loop.erase(it);
                CFRelease(source);
            } else {
                ++it;
            }
        CFRelease(source);
        source = nullptr;
    }
    sim.reset();
}

FakeString* constantString(const std::string& utf8) {
    static auto* interned = new std::map<std::string, FakeString*>();
    auto it = interned->find(utf8);
    if (it != interned->end()) return it->second;
    auto* s = new FakeString(utf8::utf8to16(utf8), true);
    (*interned)[utf8] = s;
    return s;
}

std::string utf8Of(CFStringRef s) {
    auto* str = as<FakeString>(s, kString, "CFString");
    return str ? lossyUtf8(str->units) : std::string();
}

// ----- values between the simulated desktop and fake CF -------------------------------------

template <typename T>
std::string bytesOf(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

// A new reference (+1) to a CF object for a simulated value.
const void* fromSim(const pl::ObjectRef& value) {
    if (!value) return nullptr;
    switch (value->typeID()) {
        case pl::TypeID::String:
            return new FakeString(utf8::utf8to16(utf8::replace_invalid(static_cast<const pl::StringObject&>(*value).value)));
        case pl::TypeID::Number: {
            const auto& n = static_cast<const pl::NumberObject&>(*value);
            return new FakeNumber(!n.isInteger, n.integer, n.real);
        }
        case pl::TypeID::Boolean:
            return CFRetain(static_cast<const pl::BooleanObject&>(*value).value ? kCFBooleanTrue : kCFBooleanFalse);
        case pl::TypeID::Array: {
            auto* a = new FakeArray();
            a->callbacks = kCFTypeArrayCallBacks;
            for (const auto& v : static_cast<const pl::ArrayObject&>(*value).values) a->values.push_back(fromSim(v));
            return a;
        }
        case pl::TypeID::Dictionary: {
            auto* d = new FakeDictionary();
            d->keyCallbacks = kCFTypeDictionaryKeyCallBacks;
            d->valueCallbacks = kCFTypeDictionaryValueCallBacks;
            for (const auto& [k, v] : static_cast<const pl::DictionaryObject&>(*value).values)
                d->entries.push_back({new FakeString(utf8::utf8to16(k)), fromSim(v)});
            return d;
        }
        case pl::TypeID::UIElement:
            return new FakeElement(std::static_pointer_cast<const pl::UIElement>(value));
        case pl::TypeID::TextMarker:
            return new FakeMarker(static_cast<const pl::TextMarker&>(*value).data);
        case pl::TypeID::TextMarkerRange: {
            const auto& r = static_cast<const pl::TextMarkerRange&>(*value);
            auto* s = new FakeMarker(r.start ? r.start->data : "");
            auto* e = new FakeMarker(r.end ? r.end->data : "");
            auto* range = new FakeMarkerRange(s, e);
            CFRelease(s);
            CFRelease(e);
            return range;
        }
        case pl::TypeID::AXValue: {
            auto* box = dynamic_cast<const pl::AXValue*>(value.get());
            if (!box) return nullptr;
            switch (box->kind) {
                case pl::AXValueType::CGPoint: return new FakeAXValue(kAXValueTypeCGPoint, bytesOf(CGPoint{box->point.x, box->point.y}));
                case pl::AXValueType::CGSize: return new FakeAXValue(kAXValueTypeCGSize, bytesOf(CGSize{box->size.width, box->size.height}));
                case pl::AXValueType::CGRect:
                    return new FakeAXValue(kAXValueTypeCGRect, bytesOf(CGRect{{box->rect.origin.x, box->rect.origin.y},
                                                                                {box->rect.size.width, box->rect.size.height}}));
                case pl::AXValueType::CFRange:
                    return new FakeAXValue(kAXValueTypeCFRange, bytesOf(CFRange{static_cast<CFIndex>(box->range.location),
                                                                                  static_cast<CFIndex>(box->range.length)}));
                case pl::AXValueType::AXError: return new FakeAXValue(kAXValueTypeAXError, bytesOf(static_cast<AXError>(box->error)));
                default: return new FakeAXValue(kAXValueTypeIllegal, "");
            }
        }
        default:
            // Dates, URLs and the like: a kind the backend does not convert.
            return new FakeOpaque();
    }
}

// The simulated value for a CF object (the caller keeps its reference).
pl::ObjectRef toSim(const void* cf) {
    FakeObject* o = object(cf, "a CF argument");
    if (!o) return nullptr;
    switch (o->type) {
        case kString: return pl::makeString(lossyUtf8(static_cast<FakeString*>(o)->units));
        case kNumber: {
            auto* n = static_cast<FakeNumber*>(o);
            return n->isFloat ? pl::makeReal(n->real) : pl::makeInteger(n->integer);
        }
        case kBoolean: return pl::makeBoolean(static_cast<FakeBoolean*>(o)->value);
        case kArray: {
            std::vector<pl::ObjectRef> values;
            for (const void* v : static_cast<FakeArray*>(o)->values) values.push_back(toSim(v));
            return std::make_shared<pl::ArrayObject>(std::move(values));
        }
        case kDictionary: {
            std::map<std::string, pl::ObjectRef> values;
            for (auto& [k, v] : static_cast<FakeDictionary*>(o)->entries)
                values[utf8Of(static_cast<CFStringRef>(k))] = toSim(v);
            return std::make_shared<pl::DictionaryObject>(std::move(values));
        }
        case kElement: return static_cast<FakeElement*>(o)->sim;
        case kMarker: return std::make_shared<pl::TextMarker>(static_cast<FakeMarker*>(o)->bytes);
        case kMarkerRange: {
            auto* r = static_cast<FakeMarkerRange*>(o);
            return std::make_shared<pl::TextMarkerRange>(
                std::make_shared<pl::TextMarker>(as<FakeMarker>(r->start, kMarker, "marker")->bytes),
                std::make_shared<pl::TextMarker>(as<FakeMarker>(r->end, kMarker, "marker")->bytes));
        }
        case kAXValue: {
            auto* v = static_cast<FakeAXValue*>(o);
            const void* p = v->bytes.data();
            switch (v->kind) {
                case kAXValueTypeCGPoint: {
                    auto q = *static_cast<const CGPoint*>(p);
                    return pl::makePoint({q.x, q.y});
                }
                case kAXValueTypeCGSize: {
                    auto q = *static_cast<const CGSize*>(p);
                    return pl::makeSize({q.width, q.height});
                }
                case kAXValueTypeCGRect: {
                    auto q = *static_cast<const CGRect*>(p);
                    return pl::makeRect({{q.origin.x, q.origin.y}, {q.size.width, q.size.height}});
                }
                case kAXValueTypeCFRange: {
                    auto q = *static_cast<const CFRange*>(p);
                    return pl::makeRange({q.location, q.length});
                }
                default: return std::make_shared<pl::AXValue>();
            }
        }
        default: return std::make_shared<pl::OpaqueObject>(pl::TypeID::Other, "CF type " + std::to_string(o->type));
    }
}

pl::AccessibilityService& simAx() { return Desktop::instance().platform().accessibility; }

FakeElement* element(AXUIElementRef e, const char* caller) { return as<FakeElement>(e, kElement, caller); }

// The simulated service's observer callback: back through the registration to the C callback,
// with a new element and name that the fake releases after the call, as the platform does.
void simTrampoline(const pl::AXObserverRef&, const pl::ElementRef& changed, const std::string& name, void* refcon) {
    auto it = registrations().find(reinterpret_cast<uintptr_t>(refcon));
    if (it == registrations().end()) return;  // its observer was released
    auto* observer = reinterpret_cast<FakeObserver*>(~it->second.disguisedObserver);
    void* userRefcon = it->second.refcon;
    CFRetain(observer);
    auto* e = new FakeElement(changed);
    auto* n = new FakeString(utf8::utf8to16(name));
    observer->callback(reinterpret_cast<AXObserverRef>(observer), reinterpret_cast<AXUIElementRef>(e),
                       reinterpret_cast<CFStringRef>(n), userRefcon);
    CFRelease(e);
    CFRelease(n);
    CFRelease(observer);
}

}  // namespace

long liveObjects() { return static_cast<long>(registry().live.size()); }
long objectsCreated() { return registry().created; }
std::vector<std::string> describeLiveObjects() {
    std::vector<std::string> out;
    for (auto& [serial, what] : registry().live) out.push_back("#" + std::to_string(serial) + " " + what);
    return out;
}
float messagingTimeoutFor(int32_t pid) {
    auto it = registry().timeouts.find(pid);
    return it == registry().timeouts.end() ? 0.0f : it->second;
}
void setFaultHandler(FaultHandler handler) { faultHandler = handler ? handler : &defaultFault; }

void exitIfObjectsLeft(const char* context) {
    auto left = describeLiveObjects();
    if (left.empty()) {
        std::fprintf(stderr, "fake CF (%s): %ld objects made, every one released exactly once\n", context,
                     objectsCreated());
        return;
    }
    std::fprintf(stderr, "fake CF (%s): %zu of %ld objects never released:\n", context, left.size(), objectsCreated());
    for (const auto& line : left) std::fprintf(stderr, "  %s\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(3);
}

}  // namespace korvale::macfake

using namespace korvale::macfake;

// ===================================================================================================
// The C functions.

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFRetain");
    if (o && !o->immortal) ++o->refs;
    return cf;
}

void CFRelease(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFRelease");
    if (!o || o->immortal) return;
    if (--o->refs > 0) return;
    registry().live.erase(o->serial);
    o->finalize();
    o->magic = kDead;
    graveyard().push_back(o);
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFGetRetainCount");
    return o ? (o->immortal ? LONG_MAX : o->refs) : 0;
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFGetTypeID");
    return o ? o->type : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    FakeObject* x = object(a, "CFEqual");
    FakeObject* y = object(b, "CFEqual");
    if (!x || !y) return false;
    if (x == y) return true;
    if (x->type != y->type) return false;
    switch (x->type) {
        case kString: return static_cast<FakeString*>(x)->units == static_cast<FakeString*>(y)->units;
        case kElement: return pl::CFEqual(static_cast<FakeElement*>(x)->sim, static_cast<FakeElement*>(y)->sim);
        case kMarker: return static_cast<FakeMarker*>(x)->bytes == static_cast<FakeMarker*>(y)->bytes;
        case kAXValue:
            return static_cast<FakeAXValue*>(x)->kind == static_cast<FakeAXValue*>(y)->kind &&
                   static_cast<FakeAXValue*>(x)->bytes == static_cast<FakeAXValue*>(y)->bytes;
        case kNumber: {
            auto* m = static_cast<FakeNumber*>(x);
            auto* n = static_cast<FakeNumber*>(y);
            return (m->isFloat ? m->real : static_cast<double>(m->integer)) ==
                   (n->isFloat ? n->real : static_cast<double>(n->integer));
        }
        default: return false;
    }
}

CFHashCode CFHash(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFHash");
    if (!o) return 0;
    if (o->type == kElement) return static_cast<CFHashCode>(static_cast<FakeElement*>(o)->sim->hash());
    if (o->type == kString) return std::hash<std::u16string>()(static_cast<FakeString*>(o)->units);
    return reinterpret_cast<CFHashCode>(o);
}

// What Core Foundation says of an object; for an element, what the simulated desktop calls it.
CFStringRef CFCopyDescription(CFTypeRef cf) {
    FakeObject* o = object(cf, "CFCopyDescription");
    if (!o) return nullptr;
    std::string what = o->type == kElement ? static_cast<FakeElement*>(o)->sim->describe()
                                           : "<CF object of type " + std::to_string(o->type) + ">";
    return reinterpret_cast<CFStringRef>(new FakeString(utf8::utf8to16(what)));
}

// ----- strings --------------------------------------------------------------------------------

CFTypeID CFStringGetTypeID(void) { return kString; }

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    if (numChars < 0 || (!chars && numChars > 0)) return nullptr;
    return reinterpret_cast<CFStringRef>(new FakeString(std::u16string(chars, chars + numChars)));
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0) return nullptr;
    std::string s(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(numBytes));
    if (!utf8::is_valid(s.begin(), s.end())) return nullptr;
    return reinterpret_cast<CFStringRef>(new FakeString(utf8::utf8to16(s)));
}

CFIndex CFStringGetLength(CFStringRef s) {
    auto* str = as<FakeString>(s, kString, "CFStringGetLength");
    return str ? static_cast<CFIndex>(str->units.size()) : 0;
}

void CFStringGetCharacters(CFStringRef s, CFRange range, UniChar* buffer) {
    auto* str = as<FakeString>(s, kString, "CFStringGetCharacters");
    if (!str) return;
    if (range.location < 0 || range.length < 0 ||
        static_cast<std::size_t>(range.location + range.length) > str->units.size()) {
        fault("CFStringGetCharacters: range out of bounds");
        return;
    }
    std::memcpy(buffer, str->units.data() + range.location, static_cast<std::size_t>(range.length) * sizeof(UniChar));
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    return reinterpret_cast<CFStringRef>(constantString(cStr ? cStr : ""));
}

// ----- numbers and booleans -------------------------------------------------------------------

CFTypeID CFNumberGetTypeID(void) { return kNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* p) {
    if (!p) return nullptr;
    switch (type) {
        case kCFNumberSInt8Type: case kCFNumberCharType: return reinterpret_cast<CFNumberRef>(new FakeNumber(false, *static_cast<const int8_t*>(p), 0));
        case kCFNumberSInt16Type: case kCFNumberShortType: return reinterpret_cast<CFNumberRef>(new FakeNumber(false, *static_cast<const int16_t*>(p), 0));
        case kCFNumberSInt32Type: case kCFNumberIntType: return reinterpret_cast<CFNumberRef>(new FakeNumber(false, *static_cast<const int32_t*>(p), 0));
        case kCFNumberSInt64Type: case kCFNumberLongType: case kCFNumberLongLongType: case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType:
            return reinterpret_cast<CFNumberRef>(new FakeNumber(false, *static_cast<const int64_t*>(p), 0));
        case kCFNumberFloat32Type: case kCFNumberFloatType: return reinterpret_cast<CFNumberRef>(new FakeNumber(true, 0, *static_cast<const float*>(p)));
        case kCFNumberFloat64Type: case kCFNumberDoubleType: case kCFNumberCGFloatType:
            return reinterpret_cast<CFNumberRef>(new FakeNumber(true, 0, *static_cast<const double*>(p)));
    }
    return nullptr;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* out) {
    auto* n = as<FakeNumber>(number, kNumber, "CFNumberGetValue");
    if (!n || !out) return false;
    switch (type) {
        case kCFNumberSInt64Type: case kCFNumberLongType: case kCFNumberLongLongType: case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType: {
            int64_t v = n->isFloat ? static_cast<int64_t>(n->real) : n->integer;
            *static_cast<int64_t*>(out) = v;
            return !n->isFloat || static_cast<double>(v) == n->real;
        }
        case kCFNumberFloat64Type: case kCFNumberDoubleType: case kCFNumberCGFloatType:
            *static_cast<double*>(out) = n->isFloat ? n->real : static_cast<double>(n->integer);
            return true;
        default: fault("CFNumberGetValue: a number type this fake does not convert"); return false;
    }
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    auto* n = as<FakeNumber>(number, kNumber, "CFNumberIsFloatType");
    return n && n->isFloat;
}

const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(new FakeBoolean(true));
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(new FakeBoolean(false));
CFTypeID CFBooleanGetTypeID(void) { return kBoolean; }
Boolean CFBooleanGetValue(CFBooleanRef b) {
    auto* v = as<FakeBoolean>(b, kBoolean, "CFBooleanGetValue");
    return v && v->value;
}

// ----- arrays and dictionaries ----------------------------------------------------------------

static const void* typeRetain(CFAllocatorRef, const void* value) { return CFRetain(value); }
static void typeRelease(CFAllocatorRef, const void* value) { CFRelease(value); }
static Boolean typeEqual(const void* a, const void* b) { return CFEqual(a, b); }
static CFHashCode typeHash(const void* v) { return CFHash(v); }

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, typeRetain, typeRelease, nullptr, typeEqual};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, typeRetain, typeRelease, nullptr, typeEqual, typeHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, typeRetain, typeRelease, nullptr, typeEqual};

CFTypeID CFArrayGetTypeID(void) { return kArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex count, const CFArrayCallBacks* callbacks) {
    auto* a = new FakeArray();
    if (callbacks) a->callbacks = *callbacks;
    for (CFIndex i = 0; i < count; ++i)
        a->values.push_back(a->callbacks.retain ? a->callbacks.retain(nullptr, values[i]) : values[i]);
    return reinterpret_cast<CFArrayRef>(a);
}

CFIndex CFArrayGetCount(CFArrayRef array) {
    auto* a = as<FakeArray>(array, kArray, "CFArrayGetCount");
    return a ? static_cast<CFIndex>(a->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex i) {
    auto* a = as<FakeArray>(array, kArray, "CFArrayGetValueAtIndex");
    if (!a) return nullptr;
    if (i < 0 || static_cast<std::size_t>(i) >= a->values.size()) {
        fault("CFArrayGetValueAtIndex: index out of bounds");
        return nullptr;
    }
    return a->values[static_cast<std::size_t>(i)];
}

CFTypeID CFDictionaryGetTypeID(void) { return kDictionary; }

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex count,
                                   const CFDictionaryKeyCallBacks* keyCallbacks,
                                   const CFDictionaryValueCallBacks* valueCallbacks) {
    auto* d = new FakeDictionary();
    if (keyCallbacks) d->keyCallbacks = *keyCallbacks;
    if (valueCallbacks) d->valueCallbacks = *valueCallbacks;
    for (CFIndex i = 0; i < count; ++i)
        d->entries.push_back({d->keyCallbacks.retain ? d->keyCallbacks.retain(nullptr, keys[i]) : keys[i],
                              d->valueCallbacks.retain ? d->valueCallbacks.retain(nullptr, values[i]) : values[i]});
    return reinterpret_cast<CFDictionaryRef>(d);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dict) {
    auto* d = as<FakeDictionary>(dict, kDictionary, "CFDictionaryGetCount");
    return d ? static_cast<CFIndex>(d->entries.size()) : 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values) {
    auto* d = as<FakeDictionary>(dict, kDictionary, "CFDictionaryGetKeysAndValues");
    if (!d) return;
    for (std::size_t i = 0; i < d->entries.size(); ++i) {
        if (keys) keys[i] = d->entries[i].first;
        if (values) values[i] = d->entries[i].second;
    }
}

const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key) {
    auto* d = as<FakeDictionary>(dict, kDictionary, "CFDictionaryGetValue");
    if (!d) return nullptr;
    for (auto& [k, v] : d->entries)
        if (CFEqual(k, key)) return v;
    return nullptr;
}

// ----- run loop and clock -----------------------------------------------------------------------

const CFRunLoopMode kCFRunLoopDefaultMode = reinterpret_cast<CFStringRef>(constantString("kCFRunLoopDefaultMode"));
const CFRunLoopMode kCFRunLoopCommonModes = reinterpret_cast<CFStringRef>(constantString("kCFRunLoopCommonModes"));

CFTypeID CFRunLoopGetTypeID(void) { return kRunLoop; }
CFRunLoopRef CFRunLoopGetCurrent(void) { return reinterpret_cast<CFRunLoopRef>(&mainRunLoop()); }
CFRunLoopRef CFRunLoopGetMain(void) { return reinterpret_cast<CFRunLoopRef>(&mainRunLoop()); }
CFTypeID CFRunLoopSourceGetTypeID(void) { return kSource; }

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    auto* loop = as<FakeRunLoop>(rl, kRunLoop, "CFRunLoopAddSource");
    auto* s = as<FakeSource>(source, kSource, "CFRunLoopAddSource");
    std::string name = utf8Of(mode);
    if (!loop || !s) return;
    bool present = false;
    for (const void* held : loop->sources) present = present || held == s;
    if (!present) loop->sources.push_back(CFRetain(s));
    // The simulated main loop services (and records) the source; the common modes stand for the
    // default, event-tracking and modal-panel modes together.
    pl::MainLoop& simLoop = Desktop::instance().platform().mainLoop;
    if (name == "kCFRunLoopCommonModes") {
        for (const auto& m : {pl::kCFRunLoopDefaultMode, pl::NSEventTrackingRunLoopMode, pl::NSModalPanelRunLoopMode})
            simLoop.addSource(s->sim, m);
    } else {
        simLoop.addSource(s->sim, name);
    }
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    auto* loop = as<FakeRunLoop>(rl, kRunLoop, "CFRunLoopRemoveSource");
    auto* s = as<FakeSource>(source, kSource, "CFRunLoopRemoveSource");
    if (!loop || !s) return;
    std::string name = utf8Of(mode);
    pl::MainLoop& simLoop = Desktop::instance().platform().mainLoop;
    if (name == "kCFRunLoopCommonModes") {
        for (const auto& m : {pl::kCFRunLoopDefaultMode, pl::NSEventTrackingRunLoopMode, pl::NSModalPanelRunLoopMode})
            simLoop.removeSource(s->sim, m);
    } else {
        simLoop.removeSource(s->sim, name);
    }
    // Sources are added here in one mode: out of it, the loop lets go of its reference.
    for (auto it = loop->sources.begin(); it != loop->sources.end(); ++it)
        if (*it == s) {
            loop->sources.erase(it);
            CFRelease(s);
            break;
        }
}

// A source is valid while the simulated platform can still signal it.
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) {
    auto* s = as<FakeSource>(source, kSource, "CFRunLoopSourceIsValid");
    return s && s->sim && s->sim->isValid();
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode) {
    auto* loop = as<FakeRunLoop>(rl, kRunLoop, "CFRunLoopContainsSource");
    if (!loop) return false;
    for (const void* held : loop->sources)
        if (held == source) return true;
    return false;
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean) {
    std::string name = utf8Of(mode);
    if (name == "kCFRunLoopDefaultMode" || name == pl::NSEventTrackingRunLoopMode || name == pl::NSModalPanelRunLoopMode) {
        Desktop::instance().run(seconds, name);
        return kCFRunLoopRunTimedOut;
    }
    // A mode with nothing of ours in it: the thread is held for the time asked, as a spin on the
    // clock would hold it; other applications go on meanwhile.
    // Whole nanoseconds, at least one, so that a wait in a loop on the clock always ends.
    auto& desktop = Desktop::instance();
    int64_t ns = seconds > 0 ? std::max<int64_t>(1, std::llround(seconds * 1e9)) : 0;
    desktop.blockUntil(static_cast<double>(desktop.nowNs() + ns) / 1e9);
    return kCFRunLoopRunFinished;
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) { return Desktop::instance().nowSeconds(); }

// ----- accessibility --------------------------------------------------------------------------

CFStringRef kAXTrustedCheckOptionPrompt = reinterpret_cast<CFStringRef>(constantString("AXTrustedCheckOptionPrompt"));

Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options) {
    bool prompt = false;
    if (options) {
        const void* v = CFDictionaryGetValue(options, kAXTrustedCheckOptionPrompt);
        prompt = v && CFGetTypeID(v) == kBoolean && CFBooleanGetValue(static_cast<CFBooleanRef>(v));
    }
    return simAx().isProcessTrustedWithOptions(prompt);
}

CFTypeID AXUIElementGetTypeID(void) { return kElement; }
CFTypeID AXObserverGetTypeID(void) { return kObserver; }
CFTypeID AXValueGetTypeID(void) { return kAXValue; }
CFTypeID AXTextMarkerGetTypeID(void) { return kMarker; }
CFTypeID AXTextMarkerRangeGetTypeID(void) { return kMarkerRange; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
    pl::ElementRef e = simAx().createApplication(pid);
    return e ? reinterpret_cast<AXUIElementRef>(new FakeElement(e)) : nullptr;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef e, CFStringRef attribute, CFTypeRef* value) {
    FakeElement* el = element(e, "AXUIElementCopyAttributeValue");
    if (!el || !value) return kAXErrorIllegalArgument;
    pl::ObjectRef result;
    AXError code = static_cast<AXError>(simAx().copyAttributeValue(el->sim, utf8Of(attribute), &result));
    if (code == kAXErrorSuccess && result) *value = fromSim(result);
    return code;
}

AXError AXUIElementCopyParameterizedAttributeValue(AXUIElementRef e, CFStringRef attribute, CFTypeRef parameter,
                                                   CFTypeRef* result) {
    FakeElement* el = element(e, "AXUIElementCopyParameterizedAttributeValue");
    if (!el || !result || !parameter) return kAXErrorIllegalArgument;
    pl::ObjectRef out;
    AXError code = static_cast<AXError>(
        simAx().copyParameterizedAttributeValue(el->sim, utf8Of(attribute), toSim(parameter), &out));
    if (code == kAXErrorSuccess && out) *result = fromSim(out);
    return code;
}

AXError AXUIElementCopyAttributeNames(AXUIElementRef e, CFArrayRef* names) {
    FakeElement* el = element(e, "AXUIElementCopyAttributeNames");
    if (!el || !names) return kAXErrorIllegalArgument;
    pl::ObjectRef out;
    AXError code = static_cast<AXError>(simAx().copyAttributeNames(el->sim, &out));
    if (code == kAXErrorSuccess && out) *names = static_cast<CFArrayRef>(fromSim(out));
    return code;
}

AXError AXUIElementIsAttributeSettable(AXUIElementRef e, CFStringRef attribute, Boolean* settable) {
    FakeElement* el = element(e, "AXUIElementIsAttributeSettable");
    if (!el || !settable) return kAXErrorIllegalArgument;
    bool flag = false;
    AXError code = static_cast<AXError>(simAx().isAttributeSettable(el->sim, utf8Of(attribute), &flag));
    if (code == kAXErrorSuccess) *settable = flag;
    return code;
}

AXError AXUIElementSetAttributeValue(AXUIElementRef e, CFStringRef attribute, CFTypeRef value) {
    FakeElement* el = element(e, "AXUIElementSetAttributeValue");
    if (!el || !value) return kAXErrorIllegalArgument;
    return static_cast<AXError>(simAx().setAttributeValue(el->sim, utf8Of(attribute), toSim(value)));
}

AXError AXUIElementGetPid(AXUIElementRef e, pid_t* pid) {
    FakeElement* el = element(e, "AXUIElementGetPid");
    if (!el || !pid) return kAXErrorIllegalArgument;
    *pid = el->sim->processIdentifier();
    return kAXErrorSuccess;
}

AXError AXUIElementSetMessagingTimeout(AXUIElementRef e, float seconds) {
    FakeElement* el = element(e, "AXUIElementSetMessagingTimeout");
    if (!el || seconds < 0) return kAXErrorIllegalArgument;
    registry().timeouts[el->sim->processIdentifier()] = seconds;
    return kAXErrorSuccess;
}

AXError AXObserverCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* out) {
    if (!callback || !out) return kAXErrorIllegalArgument;
    pl::AXObserverRef sim;
    AXError code = static_cast<AXError>(simAx().observerCreate(pid, &simTrampoline, &sim));
    if (code == kAXErrorSuccess && sim) *out = reinterpret_cast<AXObserverRef>(new FakeObserver(sim, callback));
    return code;
}

AXError AXObserverAddNotification(AXObserverRef observer, AXUIElementRef e, CFStringRef notification, void* refcon) {
    auto* o = as<FakeObserver>(observer, kObserver, "AXObserverAddNotification");
    FakeElement* el = element(e, "AXObserverAddNotification");
    if (!o || !el) return kAXErrorIllegalArgument;
    uintptr_t id = ++nextRegistration;
    registrations()[id] = {~reinterpret_cast<uintptr_t>(o), refcon};
    AXError code = static_cast<AXError>(
        simAx().observerAddNotification(o->sim, el->sim, utf8Of(notification), reinterpret_cast<void*>(id)));
    if (code == kAXErrorSuccess) o->registrations.push_back(id);
    else registrations().erase(id);
    return code;
}

AXError AXObserverRemoveNotification(AXObserverRef observer, AXUIElementRef e, CFStringRef notification) {
    auto* o = as<FakeObserver>(observer, kObserver, "AXObserverRemoveNotification");
    FakeElement* el = element(e, "AXObserverRemoveNotification");
    if (!o || !el) return kAXErrorIllegalArgument;
    // The registration's number stays in the table until the observer goes, as the context
    // pointer of a real registration may still be on its way.
    return static_cast<AXError>(simAx().observerRemoveNotification(o->sim, el->sim, utf8Of(notification)));
}

CFRunLoopSourceRef AXObserverGetRunLoopSource(AXObserverRef observer) {
    auto* o = as<FakeObserver>(observer, kObserver, "AXObserverGetRunLoopSource");
    if (!o) return nullptr;
    if (!o->source) o->source = new FakeSource(simAx().observerGetRunLoopSource(o->sim));
    return reinterpret_cast<CFRunLoopSourceRef>(o->source);
}

AXValueRef AXValueCreate(AXValueType type, const void* p) {
    if (!p) return nullptr;
    std::size_t size = 0;
    switch (type) {
        case kAXValueTypeCGPoint: size = sizeof(CGPoint); break;
        case kAXValueTypeCGSize: size = sizeof(CGSize); break;
        case kAXValueTypeCGRect: size = sizeof(CGRect); break;
        case kAXValueTypeCFRange: size = sizeof(CFRange); break;
        case kAXValueTypeAXError: size = sizeof(AXError); break;
        default: return nullptr;
    }
    return reinterpret_cast<AXValueRef>(new FakeAXValue(type, std::string(static_cast<const char*>(p), size)));
}

AXValueType AXValueGetType(AXValueRef value) {
    FakeObject* o = object(value, "AXValueGetType");
    if (!o || o->type != kAXValue) return kAXValueTypeIllegal;
    return static_cast<FakeAXValue*>(o)->kind;
}

Boolean AXValueGetValue(AXValueRef value, AXValueType type, void* out) {
    auto* v = as<FakeAXValue>(value, kAXValue, "AXValueGetValue");
    if (!v || !out || v->kind != type || v->bytes.empty()) return false;
    std::memcpy(out, v->bytes.data(), v->bytes.size());
    return true;
}

AXTextMarkerRef AXTextMarkerCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (!bytes && length > 0)) return nullptr;
    return reinterpret_cast<AXTextMarkerRef>(
        new FakeMarker(std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length))));
}

CFIndex AXTextMarkerGetLength(AXTextMarkerRef marker) {
    auto* m = as<FakeMarker>(marker, kMarker, "AXTextMarkerGetLength");
    return m ? static_cast<CFIndex>(m->bytes.size()) : 0;
}

const UInt8* AXTextMarkerGetBytePtr(AXTextMarkerRef marker) {
    auto* m = as<FakeMarker>(marker, kMarker, "AXTextMarkerGetBytePtr");
    return m ? reinterpret_cast<const UInt8*>(m->bytes.data()) : nullptr;
}

AXTextMarkerRangeRef AXTextMarkerRangeCreate(CFAllocatorRef, AXTextMarkerRef start, AXTextMarkerRef end) {
    if (!as<FakeMarker>(start, kMarker, "AXTextMarkerRangeCreate") || !as<FakeMarker>(end, kMarker, "AXTextMarkerRangeCreate"))
        return nullptr;
    return reinterpret_cast<AXTextMarkerRangeRef>(new FakeMarkerRange(start, end));
}

AXTextMarkerRef AXTextMarkerRangeCopyStartMarker(AXTextMarkerRangeRef range) {
    auto* r = as<FakeMarkerRange>(range, kMarkerRange, "AXTextMarkerRangeCopyStartMarker");
    return r ? static_cast<AXTextMarkerRef>(CFRetain(r->start)) : nullptr;
}

AXTextMarkerRef AXTextMarkerRangeCopyEndMarker(AXTextMarkerRangeRef range) {
    auto* r = as<FakeMarkerRange>(range, kMarkerRange, "AXTextMarkerRangeCopyEndMarker");
    return r ? static_cast<AXTextMarkerRef>(CFRetain(r->end)) : nullptr;
}

}  // extern "C"
