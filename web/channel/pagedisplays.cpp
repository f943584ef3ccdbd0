// What the pages are sent of the controllers' displays and links: each reply's screen and words
// to the pages that show the controller and to the recording, the overview's tiles and summary.
#include "pagechannel.h"

#include "pagemessages.h"

#include <cstring>

void PageChannel::screenChanged(int slot)
{
    if (bySlot.isLive(slot))
        look(slot, true);
}

void PageChannel::look(int slot, bool screenToo)
{
    ControllerSnapshot s;
    if (!source->snapshot(slot, &s))
        return;
    const LinkWords next = nextLinkWords(words[slot], s);
    Shown &t = shown[slot];
    if (!next.sameWords(words[slot]))
        ++t.words;
    const bool figureMoved = next.figure != words[slot].figure;
    words[slot] = next;
    if (screenToo)
        ++t.screen;
    // The words and counts are kept for whoever looks later; messages are built only for a page
    // that shows this controller now, not for every reply of every controller.
    const bool recording = screenToo && recorded(slot);
    if (t.viewers == 0 && !recording)
        return;
    const bool fresh = t.displayScreen != t.screen;
    const QByteArray display = fresh ? PageMessages::displayText(s) : t.display;
    const int row = fresh ? s.cursorRow : t.cursorRow;
    const int column = fresh ? s.cursorColumn : t.cursorColumn;
    // The rows this reply changed, worked out once for every page and the recording.
    const uint32_t changed = fresh ? changedSinceKept(slot, display) : 0;
    if (recording)
        recorder->screen(bySlot.controllers[slot].id, QDateTime::currentMSecsSinceEpoch(), display,
                         row, column, Recording::ScreenChange{t.displayScreen, t.screen, changed});
    for (Page &page : pages) {
        if (page.watching == slot)
            bringUp(page, page.panel, slot, display, row, column, changed, figureMoved);
        if (!page.overview)
            continue;
        const auto tile = page.tiles.find(slot);
        if (tile != page.tiles.end())
            bringUp(page, *tile, slot, display, row, column, changed, false);
    }
    keepDisplay(slot, display, row, column);
}

bool PageChannel::recorded(int slot) const
{
    return recorder && bySlot.isLive(slot) &&
           (shown[slot].watchers > 0 || bySlot.controllers[slot].recordAlways);
}

void PageChannel::recordDisplay(int slot)
{
    const Shown &t = shown[slot];
    if (recorded(slot) && t.displayScreen != 0)
        recorder->screen(bySlot.controllers[slot].id, QDateTime::currentMSecsSinceEpoch(),
                         t.display, t.cursorRow, t.cursorColumn,
                         Recording::ScreenChange{0, t.displayScreen, 0});
}

void PageChannel::refresh(Page &page, Seen &seen, int slot, bool withFigure)
{
    Shown &t = shown[slot];
    if (t.displayScreen == t.screen) {
        bringUp(page, seen, slot, t.display, t.cursorRow, t.cursorColumn, 0, withFigure);
        return;
    }
    ControllerSnapshot s;
    if (!source->snapshot(slot, &s))
        std::memset(s.rows, ' ', sizeof s.rows);
    const QByteArray display = PageMessages::displayText(s);
    bringUp(page, seen, slot, display, s.cursorRow, s.cursorColumn,
            changedSinceKept(slot, display), withFigure);
    keepDisplay(slot, display, s.cursorRow, s.cursorColumn);
}

uint32_t PageChannel::changedSinceKept(int slot, const QByteArray &display) const
{
    const Shown &t = shown[slot];
    if (t.displayScreen == 0 || t.display.size() != PanelDisplay::Cells ||
        display.size() != PanelDisplay::Cells)
        return PanelDisplay::AllRows;
    return PanelDisplay::changedRows(display.constData(), t.display.constData());
}

void PageChannel::keepDisplay(int slot, const QByteArray &display, int cursorRow, int cursorColumn)
{
    Shown &t = shown[slot];
    t.display = display;
    t.cursorRow = cursorRow;
    t.cursorColumn = cursorColumn;
    t.displayScreen = t.screen;
}

// Every page that was sent screen N of a controller was sent the same display, kept as the
// controller's display until the next screen: so a page that has it gets only the rows that
// differ. A page with a screen still waiting in its queue gets all the rows instead, since the
// new message takes the waiting one's place.
void PageChannel::bringUp(Page &page, Seen &seen, int slot, const QByteArray &display,
                          int cursorRow, int cursorColumn, uint32_t changed, bool withFigure)
{
    const Shown &t = shown[slot];
    const QString &controller = bySlot.controllers[slot].id;
    if (seen.screen != t.screen) {
        const QByteArray key = foldKey("screen", slot);
        const bool changesOnly =
            seen.screen != 0 && seen.screen == t.displayScreen && !page.sink->waiting(key);
        const QByteArray text =
            PageMessages::screen(controller, display, cursorRow, cursorColumn,
                                 changesOnly ? &changed : nullptr, t.cursorRow, t.cursorColumn);
        if (!text.isEmpty())
            page.sink->send(text, key);
        seen.screen = t.screen;
    }
    if (seen.words != t.words || withFigure) {
        page.sink->send(PageMessages::state(controller, words[slot]), foldKey("state", slot));
        seen.words = t.words;
    }
}

void PageChannel::showTiles(Page &page, const QVector<int> &inView)
{
    QHash<int, Seen> next;
    for (int slot : inView)
        next.insert(slot, page.tiles.value(slot));
    suspendTiles(page);
    page.tiles = next;
    page.overview = true;
    for (auto it = page.tiles.cbegin(); it != page.tiles.cend(); ++it)
        ++shown[it.key()].viewers;
    sendSummary(page);
    // Top of the view first.
    for (int slot : inView) {
        const auto tile = page.tiles.find(slot);
        if (tile != page.tiles.end())
            refresh(page, *tile, slot, false);
    }
}

void PageChannel::suspendTiles(Page &page)
{
    if (!page.overview)
        return;
    page.overview = false;
    for (auto it = page.tiles.cbegin(); it != page.tiles.cend(); ++it)
        --shown[it.key()].viewers;
}

void PageChannel::sendSummary(Page &page)
{
    if (page.summary == kindsChange)
        return;
    page.sink->send(PageMessages::summary(kinds), "summary");
    page.summary = kindsChange;
}

QByteArray PageChannel::kindLetters() const
{
    QByteArray letters(liveSlots.size(), 'w');
    for (int i = 0; i < liveSlots.size(); ++i)
        letters[i] = linkStateLetter(words[liveSlots[i]].state);
    return letters;
}
