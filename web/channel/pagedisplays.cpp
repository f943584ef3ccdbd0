// What the pages are sent of the controllers' displays and links: each reply's screen and words
// to the pages that show the controller and to the recording, the overview's tiles and summary.
#include "pagechannel.h"

#include "pagemessages.h"

#include <cstring>

void PageChannel::screenChanged(int index)
{
    if (bySlot.isLive(index))
        look(index, true);
}

void PageChannel::look(int index, bool screenToo)
{
    ControllerSnapshot s;
    if (!source->snapshot(index, &s))
        return;
    const LinkWords next = nextLinkWords(words[index], s);
    Shown &t = shown[index];
    if (!next.sameWords(words[index]))
        ++t.words;
    const bool figureMoved = next.figure != words[index].figure;
    words[index] = next;
    if (screenToo)
        ++t.screen;
    // The words and counts are kept for whoever looks later; messages are built only for a page
    // that shows this controller now, not for every reply of every controller.
    const bool recording = screenToo && recorded(index);
    if (t.viewers == 0 && !recording)
        return;
    const bool fresh = t.displayScreen != t.screen;
    const QByteArray display = fresh ? PageMessages::displayText(s) : t.display;
    const int row = fresh ? s.cursorRow : t.cursorRow;
    const int column = fresh ? s.cursorColumn : t.cursorColumn;
    // The rows this reply changed, worked out once for every page and the recording.
    const uint32_t changed = fresh ? changedSinceKept(index, display) : 0;
    if (recording)
        recorder->screen(bySlot.controllers[index].id, QDateTime::currentMSecsSinceEpoch(), display,
                         row, column, Recording::ScreenChange{t.displayScreen, t.screen, changed});
    for (Page &page : pages) {
        if (page.watching == index)
            bringUp(page, page.panel, index, display, row, column, changed, figureMoved);
        if (!page.overview)
            continue;
        const auto tile = page.tiles.find(index);
        if (tile != page.tiles.end())
            bringUp(page, *tile, index, display, row, column, changed, false);
    }
    keepDisplay(index, display, row, column);
}

bool PageChannel::recorded(int index) const
{
    return recorder && bySlot.isLive(index) &&
           (shown[index].watchers > 0 || bySlot.controllers[index].recordAlways);
}

void PageChannel::recordDisplay(int index)
{
    const Shown &t = shown[index];
    if (recorded(index) && t.displayScreen != 0)
        recorder->screen(bySlot.controllers[index].id, QDateTime::currentMSecsSinceEpoch(),
                         t.display, t.cursorRow, t.cursorColumn,
                         Recording::ScreenChange{0, t.displayScreen, 0});
}

void PageChannel::refresh(Page &page, Seen &seen, int index, bool withFigure)
{
    Shown &t = shown[index];
    if (t.displayScreen == t.screen) {
        bringUp(page, seen, index, t.display, t.cursorRow, t.cursorColumn, 0, withFigure);
        return;
    }
    ControllerSnapshot s;
    if (!source->snapshot(index, &s))
        std::memset(s.rows, ' ', sizeof s.rows);
    const QByteArray display = PageMessages::displayText(s);
    bringUp(page, seen, index, display, s.cursorRow, s.cursorColumn,
            changedSinceKept(index, display), withFigure);
    keepDisplay(index, display, s.cursorRow, s.cursorColumn);
}

uint32_t PageChannel::changedSinceKept(int index, const QByteArray &display) const
{
    const Shown &t = shown[index];
    if (t.displayScreen == 0 || t.display.size() != PanelDisplay::Cells ||
        display.size() != PanelDisplay::Cells)
        return PanelDisplay::AllRows;
    return PanelDisplay::changedRows(display.constData(), t.display.constData());
}

void PageChannel::keepDisplay(int index, const QByteArray &display, int cursorRow, int cursorColumn)
{
    Shown &t = shown[index];
    t.display = display;
    t.cursorRow = cursorRow;
    t.cursorColumn = cursorColumn;
    t.displayScreen = t.screen;
}

// Every page that was sent screen N of a controller was sent the same display, kept as the
// controller's display until the next screen: so a page that has it gets only the rows that
// differ. A page with a screen still waiting in its queue gets all the rows instead, since the
// new message takes the waiting one's place.
void PageChannel::bringUp(Page &page, Seen &seen, int index, const QByteArray &display,
                          int cursorRow, int cursorColumn, uint32_t changed, bool withFigure)
{
    const Shown &t = shown[index];
    const QString &controller = bySlot.controllers[index].id;
    if (seen.screen != t.screen) {
        const QByteArray key = foldKey("screen", index);
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
        page.sink->send(PageMessages::state(controller, words[index]), foldKey("state", index));
        seen.words = t.words;
    }
}

void PageChannel::showTiles(Page &page, const QVector<int> &inView)
{
    QHash<int, Seen> next;
    for (int index : inView)
        next.insert(index, page.tiles.value(index));
    suspendTiles(page);
    page.tiles = next;
    page.overview = true;
    for (auto it = page.tiles.cbegin(); it != page.tiles.cend(); ++it)
        ++shown[it.key()].viewers;
    sendSummary(page);
    // Top of the view first.
    for (int index : inView) {
        const auto tile = page.tiles.find(index);
        if (tile != page.tiles.end())
            refresh(page, *tile, index, false);
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
