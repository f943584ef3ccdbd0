// The page channel: every open page's socket, what it watches, who holds control of which
// controller, keys from operators, and the fan-out of screens, states and control to the pages
// that show them. It runs on the server's network thread and knows nothing of HTTP: pages reach
// it through PageSink, controllers through ControllerSource.
#ifndef PAGECHANNEL_H
#define PAGECHANNEL_H

#include "accessrules.h"
#include "controllerslots.h"
#include "controllersource.h"
#include "keytrail.h"
#include "linkwords.h"
#include "pageidentity.h"
#include "recorder.h"
#include "webconfig.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// One page's socket, as the channel sees it.
class PageSink
{
public:
    virtual ~PageSink() = default;
    // Queues a message for the page. One with a fold key replaces an unsent message of the same
    // key (a controller's latest screen makes the one before it worthless); an empty key never
    // folds.
    virtual void send(const QByteArray &text, const QByteArray &foldKey) = 0;
    // Whether a message of this fold key waits unsent: a screen that only carries changed rows
    // must not fold into it, or the rows of the one before would be lost.
    virtual bool waiting(const QByteArray &foldKey) const = 0;
    // Closes the socket as a policy matter; the channel hears of the end through leave().
    virtual void close(const QString &reason) = 0;
};

class PageChannel
{
public:
    // All must outlive the channel.
    PageChannel(const WebConfig &config, SessionStore *sessions, KeyTrail *audit,
                ControllerSource *source);

    // A page whose upgrade was accepted: it gets its hello. Returns the page's id.
    quint64 join(PageSink *sink, const PageIdentity &who);
    // The page's socket is closed: its control and watch end. The sink is not used again.
    void leave(quint64 page);
    // A text message from the page; size and rate were checked by its socket.
    void receive(quint64 page, const QByteArray &text, qint64 nowMs);

    // The session ended (logout): its pages are closed.
    void endSession(const QByteArray &session);
    // A reply changed the display of the controller in slot.
    void screenChanged(int slot);
    // What became of a key the channel handed on.
    void keyDone(int slot, quint64 ticket, KeyOutcome outcome, const QString &reason);
    // Once a second: idle control is released, pages of ended sessions are closed, and the
    // state words follow the links' counters.
    void tick(qint64 nowMs);

    // A reload changed the controllers: a removed one's pages are told and their control ends,
    // and every page gets the new list in a fresh hello.
    void reconfigure(const ControllerSlots &next, const SlotChanges &changes);
    // A reload changed the users: for each user with a session, the role now, or nothing when
    // the user may no longer log in. Their sessions end, or their pages get the new role, and
    // a demoted operator's control ends at once.
    void applyRoles(const QHash<QString, std::optional<Role>> &roles);
    QStringList sessionUsers() const;
    const ControllerSlots &controllerSlots() const { return bySlot; }
    const LinkWords &linkWords(int slot) const { return words[slot]; }

    // The server is stopping: every page is forgotten without a word to the others.
    void closeAll() { pages.clear(); }

    int pageCount() const { return pages.size(); }

    // Where the displays that pages watch, and their keys, are recorded; none by default.
    void setRecorder(Recorder *to) { recorder = to; }
    // For a server of a pair: sessions and control are told to mirror as they change, and what
    // the server before left is taken in when this one takes over.
    void setMirror(AccessMirror *mirror);
    void adopt(const AccessSnapshot &left, qint64 nowMs);

    // The most tiles an overview page is sent screens and states for at once; a page shows the
    // ones in view, so the page costs the same however many controllers there are.
    static constexpr int MaxTilesInView = 240;
    // The most of a page's unknown message type or controller id that an error echoes back.
    static constexpr int MaxEchoedName = 40;
    // A key whose line took longer than this to be recorded is not sent: the operator pressed it
    // for what the display showed then.
    static constexpr qint64 MaxRecordMs = 2000;
    // Why a key is refused while no server of a pair leads.
    static const QString ChangingOver;

private:
    // Which screen and words of a controller a page was last sent (0: none yet).
    struct Seen
    {
        quint64 screen = 0;
        quint64 words = 0;
    };
    struct Page
    {
        PageSink *sink = nullptr;
        PageIdentity who;
        bool overview = false;
        int watching = -1;
        Seen panel;
        // The overview's tiles in view, by slot. Kept while the page shows a panel, so that
        // coming back brings only what changed meanwhile.
        QHash<int, Seen> tiles;
        quint64 summary = 0;
        // The page numbers each change between the overview and a panel, and tells it with
        // each overview and watch: one older than the latest seen was overtaken by the page
        // itself (a tile clicked while the overview's update was on its way) and is dropped.
        double view = 0;
    };
    // What the pages are sent of one controller: the counts of its changes, and the display
    // last sent, which the next screen's changed rows are told against.
    struct Shown
    {
        quint64 screen = 1;
        quint64 words = 1;
        int viewers = 0;
        // Pages with its panel open: while there are any, its display is recorded.
        int watchers = 0;
        QByteArray display;
        int cursorRow = 0, cursorColumn = 0;
        quint64 displayScreen = 0;
    };

    // A message from a page, once its checks passed: slot is the controller it names by its slot (-1 for
    // one that names none), controller the id as the page wrote it.
    struct Request
    {
        quint64 id;
        Page &page;
        int slot;
        const QString &controller;
        const QJsonObject &message;
        qint64 nowMs;
    };
    enum class Names { Nothing, Controller };
    struct Handler
    {
        const char *type;
        // A message that names a controller is refused when there is no such controller.
        Names names;
        // overview and watch carry the page's view number (see Page::view).
        bool changesView;
        bool operatorOnly;
        void (PageChannel::*run)(const Request &);
    };
    static const Handler handlers[];
    void onOverview(const Request &r);
    void onWatch(const Request &r);
    void onTake(const Request &r);
    void onRelease(const Request &r);
    void onKey(const Request &r);

    void refuse(Page &page, const QString &controller, const QString &message);
    // False for an overview or watch that the page has overtaken; notes the view otherwise.
    static bool currentView(Page &page, const QJsonObject &message);
    // Sends what a page needs to show the controller in slot.
    void watch(quint64 id, Page &page, int slot, qint64 nowMs);
    void leaveController(quint64 id, Page &page);
    // The page shows the overview with the tiles of these slots in view.
    void showTiles(Page &page, const QVector<int> &slots);
    void suspendTiles(Page &page);
    // Brings what the page was sent of the controller in slot up to the latest: the screen (only the
    // rows that changed when the page has the one before) and, when they changed, the words.
    // changed: the rows in which display differs from the controller's kept display.
    void bringUp(Page &page, Seen &seen, int slot, const QByteArray &display, int cursorRow,
                 int cursorColumn, uint32_t changed, bool withFigure);
    uint32_t changedSinceKept(int slot, const QByteArray &display) const;
    // The same from the controller's latest display, for a page that just came to show it.
    void refresh(Page &page, Seen &seen, int slot, bool withFigure);
    void keepDisplay(int slot, const QByteArray &display, int cursorRow, int cursorColumn);
    void sendSummary(Page &page);
    QByteArray kindLetters() const;
    void sendControl(int slot);
    void press(quint64 id, Page &page, int slot, const QJsonValue &code, qint64 nowMs);
    // The trail answered for a key page id pressed: it goes to the controller only if written,
    // and only while still fresh.
    void recorded(int slot, quint64 id, const AuditEntry &entry, TrailWrite written, qint64 seq);
    void recordOutcome(int slot, qint64 seq, quint64 page, KeyOutcome outcome,
                       const QString &dropReason);
    // One look at the link feeds both the screen and, when its words changed, the state.
    void look(int slot, bool screenToo);
    bool recorded(int slot) const;
    // The controller's display as its pages have it now goes to the recording.
    void recordDisplay(int slot);
    void toViewers(int slot, const QByteArray &text, const QByteArray &foldKey);
    void resizeSlots();
    // A message's key in a page's queue: a newer message with the same key takes its place.
    static QByteArray foldKey(const char *type, int slot);

    ControllerSlots bySlot;
    SessionStore *sessions;
    KeyTrail *audit;
    ControllerSource *source;
    Recorder *recorder = nullptr;
    ControlLocks controls;
    QHash<QString, int> slotById;
    QVector<LinkWords> words;
    QVector<Shown> shown;
    // The live slots in the order of the hello's list, which the pages' tile indexes count in.
    QVector<int> liveSlots;
    QByteArray kinds;
    quint64 kindsChange = 1;
    QHash<quint64, Page> pages;
    quint64 lastPageId = 0;
    // Keys handed to the source and not yet done: their line in the trail and their page.
    struct KeyInFlight
    {
        qint64 seq = 0;
        quint64 page = 0;
    };
    QHash<quint64, KeyInFlight> keysInFlight;
};

#endif // PAGECHANNEL_H
