// The simulated general pasteboard: a list of items, each offering its data under several types
// (plain text, rich text, an image, file references), and a change count that moves on every
// write, whoever writes. The library's calls are written to the request log; the user's copies
// (actions "copy_text", "set_pasteboard") and the other applications' reads are not requests.
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimPasteboard final : public Pasteboard {
public:
    explicit SimPasteboard(Desktop& desktop);
    void reset();

    long changeCount() override;
    std::optional<std::string> stringForType(const std::string& type) override;
    long clearContents() override;
    bool setString(const std::string& text, const std::string& type) override;
    std::vector<PasteboardItem> pasteboardItems() override;
    bool writeObjects(const std::vector<PasteboardItem>& items) override;

    // What another application reads when it pastes: the first item's data of `type`. Not logged.
    std::optional<std::string> contentOfType(const std::string& type) const;
    // The user (or another application) replaces the whole contents.
    void userWrites(std::vector<PasteboardItem> items);

    json describe() const;  // {"change_count": n, "items": [{type: data, ...}, ...]}
    static std::vector<PasteboardItem> itemsFromJson(const json& items);  // throws SimError

private:
    Desktop& desktop_;
    std::vector<PasteboardItem> items_;
    long changeCount_ = 0;
};

}  // namespace korvale::sim
