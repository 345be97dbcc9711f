// The simulated general pasteboard. Writes follow the platform: clearContents empties it,
// setString:forType: puts the data on the first item (making one when there is none), and
// writeObjects: appends items. Every write moves the change count, so a reader can tell that
// someone wrote since it last looked.
#include "platform/sim/SimPasteboard.h"

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
        if (world.contains("pasteboard")) {
            const json& pb = world.at("pasteboard");
            items_ = itemsFromJson(pb.is_object() ? pb.value("items", json::array()) : pb);
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
    desktop_.registerStateReporter([this](json& s) { s["pasteboard"] = describe(); });
}

void SimPasteboard::reset() {
    items_.clear();
    changeCount_ = 0;
}

long SimPasteboard::changeCount() {
    desktop_.logRequest({{"call", "changeCount"}, {"result", changeCount_}});
    return changeCount_;
}

std::optional<std::string> SimPasteboard::stringForType(const std::string& type) {
    auto value = contentOfType(type);
    desktop_.logRequest({{"call", "stringForType:"}, {"type", type}, {"found", value.has_value()}});
    return value;
}

long SimPasteboard::clearContents() {
    items_.clear();
    ++changeCount_;
    desktop_.logRequest({{"call", "clearContents"}, {"result", changeCount_}});
    return changeCount_;
}

bool SimPasteboard::setString(const std::string& text, const std::string& type) {
    if (items_.empty()) items_.emplace_back();
    setRepresentation(items_.front(), type, text);
    ++changeCount_;
    desktop_.logRequest({{"call", "setString:forType:"}, {"type", type}, {"text", text}});
    return true;
}

std::vector<PasteboardItem> SimPasteboard::pasteboardItems() {
    desktop_.logRequest({{"call", "pasteboardItems"}, {"types", typesOf(items_)}});
    return items_;
}

bool SimPasteboard::writeObjects(const std::vector<PasteboardItem>& items) {
    items_.insert(items_.end(), items.begin(), items.end());
    ++changeCount_;
    desktop_.logRequest({{"call", "writeObjects:"}, {"types", typesOf(items)}});
    return true;
}

std::optional<std::string> SimPasteboard::contentOfType(const std::string& type) const {
    if (items_.empty()) return std::nullopt;
    for (const auto& [t, data] : items_.front().representations)
        if (t == type) return data;
    return std::nullopt;
}

void SimPasteboard::userWrites(std::vector<PasteboardItem> items) {
    items_ = std::move(items);
    ++changeCount_;
}

json SimPasteboard::describe() const {
    json items = json::array();
    for (const auto& item : items_) {
        json entry = json::object();
        for (const auto& [type, data] : item.representations) entry[type] = data;
        items.push_back(std::move(entry));
    }
    return {{"change_count", changeCount_}, {"items", std::move(items)}};
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
