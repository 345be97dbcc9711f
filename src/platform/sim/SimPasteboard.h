// The simulated general pasteboard: a list of items, each offering its data under several types
// (plain text, rich text, an image, file references), and a change count that moves on every
// write, whoever writes. The library's calls are written to the request log; the user's copies
// (actions "copy_text", "set_pasteboard") and the other applications' reads are not requests.
//
// It also models what makes a paste go wrong: an owner of the contents that stopped answering
// (a read then waits and fails), an owner that quit and took its data along (the pasteboard is
// empty), and a clipboard manager that copies every change and may offer it again as its own. It
// knows who took the data the library wrote last, so a replacement can wait for the paste.
#pragma once

#include <optional>

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimPasteboard final : public Pasteboard {
public:
    // An owner that does not answer costs a reader this long before the read fails (the X11
    // backend's bound on an owner's answer is the same).
    static constexpr double kStoppedOwnerWait = 0.5;

    explicit SimPasteboard(Desktop& desktop);
    void reset();

    long changeCount() override;
    std::optional<std::string> stringForType(const std::string& type) override;
    long clearContents() override;
    bool setString(const std::string& text, const std::string& type) override;
    std::optional<std::vector<PasteboardItem>> pasteboardItems() override;
    bool writeObjects(const std::vector<PasteboardItem>& items) override;
    PasteboardFetch waitForFetch(pid_t by, double deadline) override;

    // What another application `reader` gets when it pastes: the first item's data of `type`
    // (none while the owner is stopped). A read of the library's latest write is a fetch.
    std::optional<std::string> takeData(const std::string& type, pid_t reader);
    // The same without taking anything (state reports, tests). Not logged.
    std::optional<std::string> contentOfType(const std::string& type) const;
    // The user (or another application, `writer`) replaces the whole contents.
    void userWrites(std::vector<PasteboardItem> items, pid_t writer = 0);

    json describe() const;  // {"change_count", "items", "owner", "fetched_by"}
    static std::vector<PasteboardItem> itemsFromJson(const json& items);  // throws SimError

private:
    // Every write ends here: the count moves and a clipboard manager, if any, looks.
    void changed(pid_t writer);
    void libraryWrote();
    bool fetched(pid_t by) const;

    struct Manager {
        pid_t pid = 0;
        bool retake = false;  // offers what it copied as its own right after
        double delay = 0.05;  // how long it takes to notice a change
    };

    Desktop& desktop_;
    std::vector<PasteboardItem> items_;
    long changeCount_ = 0;
    bool ownerStopped_ = false;
    bool libraryData_ = false;      // the contents are the library's latest write
    std::vector<pid_t> fetchedBy_;  // who took the library's latest write, in order
    std::optional<Manager> manager_;
};

}  // namespace korvale::sim
