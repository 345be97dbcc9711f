// The general pasteboard of the Linux backend: the CLIPBOARD selection, read and owned.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

// The general pasteboard over the CLIPBOARD selection. A representation's type is the X target's
// name ("UTF8_STRING", "image/png", "text/html"); when the owner answered a target with another
// property type or a format other than 8 bits, the name carries them: "TEXT\x1fCOMPOUND_TEXT/8".
// The representation "TARGETS" holds the owner's list of targets, one name a line, in its order:
// written back, it is what we answer to TARGETS. The library's plain text (NSPasteboardTypeString)
// is offered under every text target a toolkit asks for.
class LinuxPasteboard final : public Pasteboard {
public:
    // An owner that does not answer one request (or one piece of a transfer) within this is
    // taken to be stopped: the read fails.
    static constexpr gint64 kAnswerLimitUs = 500000;
    // A whole read of the clipboard, every target, ends by this at the latest.
    static constexpr gint64 kReadLimitUs = 5000000;

    explicit LinuxPasteboard(XConnection& x);
    long changeCount() override;
    std::optional<std::string> stringForType(const std::string& type) override;
    long clearContents() override;
    bool setString(const std::string& text, const std::string& type) override;
    std::optional<std::vector<PasteboardItem>> pasteboardItems() override;
    bool writeObjects(const std::vector<PasteboardItem>& items) override;
    PasteboardFetch waitForFetch(pid_t by, double deadline) override;

    // One target's data as the owner answered it.
    struct Data {
        Atom type = 0;
        int format = 8;
        std::string bytes;  // as Xlib holds it: format 32 as longs, format 16 as shorts
    };

private:
    // An INCR transfer we are serving: the requestor deletes the property, we write the next piece.
    struct Transfer {
        XWindow requestor = 0;
        Atom property = 0;
        Data data;
        std::size_t offset = 0;
        pid_t requestorPid = 0;
        long write = 0;  // which of the library's writes it hands out
        gint64 lastUs = 0;
    };
    enum class Answer { Data, Refused, NoAnswer };

    void handle(XEvent& e);
    void serveRequest(const XSelectionRequestEvent& req);
    bool convertInto(XWindow requestor, Atom property, Atom target, pid_t requestorPid);
    void continueTransfer(Transfer& t);
    void dropStaleTransfers();
    void libraryWrote();
    void own();
    bool stillOwning();
    Answer convert(Atom target, gint64 readDeadlineUs, Data* out);
    std::optional<std::string> readText();
    std::optional<std::string> ownText() const;
    std::optional<Data> offered(Atom target) const;
    std::vector<Atom> offeredTargets() const;
    pid_t processOfWindow(XWindow w);
    bool fetched(pid_t by) const;

    XConnection& x_;
    std::vector<PasteboardItem> items_;  // what we offer while we own CLIPBOARD
    bool owning_ = false;
    long changeCount_ = 0;
    int ownClears_ = 0;  // owner changes to None that we made and have not seen come back
    // Who took the library's latest write (0: a requestor whose process is unknown).
    std::vector<pid_t> fetchedBy_;
    std::vector<Transfer> transfers_;
    long writes_ = 0;  // the library's writes so far
    std::size_t chunk_ = 0;  // the largest piece written in one request
    // The answer to our pending read, once it came; new pieces of an INCR transfer.
    bool answered_ = false;
    Atom answerProperty_ = 0;
    bool newPiece_ = false;
};

}  // namespace korvale::platform::linuxdesk
