// The simulated pasteboard service (placeholder until its issue lands).
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimPasteboard final : public Pasteboard {
public:
    explicit SimPasteboard(Desktop& desktop) : desktop_(desktop) {}
    void reset() {}
    long changeCount() override { return 0; }
    std::optional<std::string> stringForType(const std::string&) override { return std::nullopt; }
    long clearContents() override { return 0; }
    bool setString(const std::string&, const std::string&) override { return false; }
    std::vector<PasteboardItem> pasteboardItems() override { return {}; }
    bool writeObjects(const std::vector<PasteboardItem>&) override { return false; }

private:
    Desktop& desktop_;
};

}  // namespace korvale::sim
