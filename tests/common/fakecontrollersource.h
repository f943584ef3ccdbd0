// A controller source the test drives by hand, on the test's own thread: each controller's
// snapshot is set directly, keys pressed are kept in order with their tickets, and the watch
// counts are what the channel told it. For tests of the channel through its seams.
#ifndef FAKECONTROLLERSOURCE_H
#define FAKECONTROLLERSOURCE_H

#include "controllersource.h"

#include <QVector>

#include <cstring>

class FakeControllerSource : public ControllerSource
{
public:
    struct Press
    {
        int index;
        uint8_t code;
        quint64 ticket;
    };

    explicit FakeControllerSource(int controllers) : watching(controllers), links(controllers)
    {
        for (ControllerSnapshot &s : links)
            std::memset(s.rows, ' ', sizeof s.rows);
    }

    // Writes text into a row of controller index's display, as a reply would.
    void setRow(int index, int row, const QByteArray &text)
    {
        char *to = links[index].rows[row];
        std::memset(to, ' ', ControllerSnapshot::Columns);
        std::memcpy(to, text.constData(), size_t(qMin(text.size(), ControllerSnapshot::Columns)));
    }
    ControllerSnapshot &link(int index) { return links[index]; }

    QVector<Press> pressed;
    QVector<int> watching;
    // pressKey answers 0 (queue full) while set.
    bool full = false;

    bool snapshot(int index, ControllerSnapshot *out) const override
    {
        if (index < 0 || index >= links.size())
            return false;
        *out = links[index];
        return true;
    }
    quint64 pressKey(int index, uint8_t code) override
    {
        if (full)
            return 0;
        pressed.append(Press{index, code, ++lastTicket});
        return lastTicket;
    }
    void watch(int index) override { ++watching[index]; }
    void unwatch(int index) override { --watching[index]; }

private:
    QVector<ControllerSnapshot> links;
    quint64 lastTicket = 0;
};

#endif // FAKECONTROLLERSOURCE_H
