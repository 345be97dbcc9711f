// The simulated general pasteboard. Writes follow the platform: clearContents empties it,
// setString:forType: puts the data on the first item (making one when there is none), and
// writeObjects: appends items. Every write moves the change count, so a reader can tell that
// someone wrote since it last looked. Other applications read through takeData, which is how the
// pasteboard knows that a paste took the library's data.
#include "platform/sim/SimPasteboard.h"

#include <algorithm>

namespace korvale::sim {

namespace {

json typesOf(const std::vector<PasteboardItem>& items) {
    json out = json::array();
    for (const auto& item : items) {
        json types = json::array();
        for (const auto& [type, data] : item.representations) types.push_back(type);
        out.push_back(std::move(types));
    }
    return out;
}

void setRepresentation(PasteboardItem& item, const std::string& type, const std::string& data) {
    for (auto& [t, d] : item.representations)
        if (t == type) {
            d = data;
            return;
        }
    item.representations.emplace_back(type, data);
}

}  // namespace

SimPasteboard::SimPasteboard(Desktop& desktop) : desktop_(desktop) {
    desktop_.registerWorldLoader([this](const json& world) {
        if (!world.contains("pasteboard")) return;
        const json& pb = world.at("pasteboard");
        items_ = itemsFromJson(pb.is_object() ? pb.value("items", json::array()) : pb);
        if (!pb.is_object()) return;
        const std::string owner = pb.value("owner", std::string("running"));
        if (owner != "running" && owner != "stopped") throw SimError{"\"owner\" is \"running\" or \"stopped\""};
        ownerStopped_ = owner == "stopped";
        if (pb.contains("manager")) {
            const json& m = pb.at("manager");
            manager_ = Manager{m.at("pid").get<pid_t>(), m.value("retake", false), m.value("delay", 0.05)};
        }
    });
    desktop_.registerAction("set_pasteboard", [this](const json& a) {
        userWrites(itemsFromJson(a.value("items", json::array())));
    });
    desktop_.registerAction("copy_text", [this](const json& a) {
        if (!a.contains("text") || !a["text"].is_string())
            throw SimError{"copy_text needs a string \"text\""};
        userWrites({PasteboardItem{{{NSPasteboardTypeString, a["text"].get<std::string>()}}}});
    });
    // The application that owns the contents stops answering ("stopped"), answers again
    // ("running"), or quits and takes its data along ("gone": the pasteboard is then empty).
    desktop_.registerAction("pasteboard_owner", [this](const json& a) {
        const std::string state = a.at("state").get<std::string>();
        if (state == "stopped" || state == "running") {
            ownerStopped_ = state == "stopped";
        } else if (state == "gone") {
            ownerStopped_ = false;
            items_.clear();
            libraryData_ = false;
            changed(0);
        } else {
            throw SimError{"\"state\" is \"stopped\", \"running\" or \"gone\""};
        }
    });
    // A clipboard manager (process `pid`) copies every change `delay` after it; with `retake`
    // it then offers the copy as its own, as managers that keep the clipboard alive do. A pid of
    // 0 removes it.
    desktop_.registerAction("clipboard_manager", [this](const json& a) {
        pid_t pid = a.at("pid").get<pid_t>();
        if (pid == 0) manager_.reset();
        else manager_ = Manager{pid, a.value("retake", false), a.value("delay", 0.05)};
    });
    desktop_.registerStateReporter([this](json& s) { s["pasteboard"] = describe(); });
}

void SimPasteboard::reset() {
    items_.clear();
    changeCount_ = 0;
    ownerStopped_ = false;
    libraryData_ = false;
    fetchedBy_.clear();
    manager_.reset();
}

long SimPasteboard::changeCount() {
    desktop_.logRequest({{"call", "changeCount"}, {"result", changeCount_}});
    return changeCount_;
}

std::optional<std::string> SimPasteboard::stringForType(const std::string& type) {
    if (ownerStopped_) {
        desktop_.logRequest({{"call", "stringForType:"}, {"type", type}, {"answered", false}});
        desktop_.blockUntil(desktop_.nowSeconds() + kStoppedOwnerWait);
        return std::nullopt;
    }
    auto value = contentOfType(type);
    desktop_.logRequest({{"call", "stringForType:"}, {"type", type}, {"found", value.has_value()}});
    return value;
}

long SimPasteboard::clearContents() {
    items_.clear();
    libraryWrote();
    desktop_.logRequest({{"call", "clearContents"}, {"result", changeCount_}});
    return changeCount_;
}

bool SimPasteboard::setString(const std::string& text, const std::string& type) {
    if (items_.empty()) items_.emplace_back();
    setRepresentation(items_.front(), type, text);
    libraryWrote();
    desktop_.logRequest({{"call", "setString:forType:"}, {"type", type}, {"text", text}});
    return true;
}

std::optional<std::vector<PasteboardItem>> SimPasteboard::pasteboardItems() {
    if (ownerStopped_) {
        desktop_.logRequest({{"call", "pasteboardItems"}, {"answered", false}});
        desktop_.blockUntil(desktop_.nowSeconds() + kStoppedOwnerWait);
        return std::nullopt;
    }
    desktop_.logRequest({{"call", "pasteboardItems"}, {"types", typesOf(items_)}});
    return items_;
}

bool SimPasteboard::writeObjects(const std::vector<PasteboardItem>& items) {
    items_.insert(items_.end(), items.begin(), items.end());
    libraryWrote();
    desktop_.logRequest({{"call", "writeObjects:"}, {"types", typesOf(items)}});
    return true;
}

PasteboardFetch SimPasteboard::waitForFetch(pid_t by, double deadline) {
    desktop_.blockUntil(deadline, [&] { return fetched(by); });
    bool taken = fetched(by);
    desktop_.logRequest({{"call", "waitForFetch"}, {"pid", by}, {"result", taken ? "taken" : "not taken"}});
    return taken ? PasteboardFetch::Taken : PasteboardFetch::NotTaken;
}

bool SimPasteboard::fetched(pid_t by) const {
    return std::any_of(fetchedBy_.begin(), fetchedBy_.end(), [by](pid_t p) { return by == 0 || p == by; });
}

void SimPasteboard::libraryWrote() {
    // The library's write replaces the owner: what it wrote is served, whoever owned before.
    ownerStopped_ = false;
    libraryData_ = true;
    fetchedBy_.clear();
    changed(0);
}

std::optional<std::string> SimPasteboard::takeData(const std::string& type, pid_t reader) {
    if (ownerStopped_) return std::nullopt;
    auto value = contentOfType(type);
    if (value && libraryData_) fetchedBy_.push_back(reader);
    return value;
}

void SimPasteboard::changed(pid_t writer) {
    ++changeCount_;
    if (!manager_ || writer == manager_->pid) return;
    // The manager copies what it finds when it looks, if nothing newer came meanwhile.
    const long seen = changeCount_;
    const Manager m = *manager_;
    desktop_.scheduleExternal(desktop_.nowNs() + Desktop::toNs(m.delay), [this, seen, m] {
        if (changeCount_ != seen || ownerStopped_ || !manager_ || manager_->pid != m.pid) return;
        if (libraryData_ && !items_.empty()) fetchedBy_.push_back(m.pid);
        if (m.retake && !items_.empty()) userWrites(items_, m.pid);
    });
}

std::optional<std::string> SimPasteboard::contentOfType(const std::string& type) const {
    if (items_.empty()) return std::nullopt;
    for (const auto& [t, data] : items_.front().representations)
        if (t == type) return data;
    return std::nullopt;
}

void SimPasteboard::userWrites(std::vector<PasteboardItem> items, pid_t writer) {
    items_ = std::move(items);
    ownerStopped_ = false;
    libraryData_ = false;
    changed(writer);
}

json SimPasteboard::describe() const {
    json items = json::array();
    for (const auto& item : items_) {
        json entry = json::object();
        for (const auto& [type, data] : item.representations) entry[type] = data;
        items.push_back(std::move(entry));
    }
    return {{"change_count", changeCount_},
            {"items", std::move(items)},
            {"owner", ownerStopped_ ? "stopped" : "running"},
            {"fetched_by", fetchedBy_}};
}

// An item is {"type": "data", ...}, or [["type", "data"], ...] when the order of types matters.
std::vector<PasteboardItem> SimPasteboard::itemsFromJson(const json& items) {
    if (!items.is_array()) throw SimError{"pasteboard items must be an array"};
    std::vector<PasteboardItem> out;
    for (const auto& entry : items) {
        PasteboardItem item;
        if (entry.is_object()) {
            for (auto it = entry.begin(); it != entry.end(); ++it) {
                if (!it->is_string()) throw SimError{"pasteboard data must be a string: " + it.key()};
                item.representations.emplace_back(it.key(), it->get<std::string>());
            }
        } else if (entry.is_array()) {
            for (const auto& pair : entry) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() || !pair[1].is_string())
                    throw SimError{"an ordered pasteboard item is [[type, data], ...]"};
                setRepresentation(item, pair[0].get<std::string>(), pair[1].get<std::string>());
            }
        } else {
            throw SimError{"a pasteboard item is an object of type: data"};
        }
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace korvale::sim
