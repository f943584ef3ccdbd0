// A stand-in controller on 127.0.0.1 for the window and keypad tests: it counts the link task's
// GetRequests, records the key code of every SetRequest, and (unless told to keep silent) answers
// each datagram at once with one junk byte. The junk is refused by the reply check, so the screen
// and cursor stay as the test wrote them, while the task runs short cycles and drains its key
// answers without waiting out its timeouts.
#ifndef FAKECONTROLLER_H
#define FAKECONTROLLER_H

#include <QHostAddress>
#include <QList>
#include <QUdpSocket>

class FakeController
{
public:
    FakeController() { bound = socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }

    bool isBound() const { return bound; }
    int port() const { return socket.localPort(); }

    // Takes in every datagram that is waiting. Call it from QTRY_ conditions.
    void pump()
    {
        while (socket.hasPendingDatagrams()) {
            char bytes[1024];
            QHostAddress from;
            quint16 fromPort = 0;
            const qint64 n = socket.readDatagram(bytes, sizeof bytes, &from, &fromPort);
            if (n <= 0)
                continue;
            const int type = pduType(reinterpret_cast<const uchar *>(bytes), int(n));
            if (type == 0xA0) {
                ++gets;
            } else if (type == 0xA3) {
                // A key is a one-byte OCTET STRING at the very end: 04 01 code.
                const auto *b = reinterpret_cast<const uchar *>(bytes);
                if (n >= 3 && b[n - 3] == 0x04 && b[n - 2] == 0x01)
                    keys.append(b[n - 1]);
                else
                    keys.append(-1);
            } else {
                ++others;
            }
            if (answer)
                socket.writeDatagram("?", 1, from, fromPort);
        }
    }

    // For QTRY_ conditions: pump, then compare.
    bool getsAtLeast(int count)
    {
        pump();
        return gets >= count;
    }
    bool keysAtLeast(int count)
    {
        pump();
        return keys.size() >= count;
    }

    int gets = 0;
    int others = 0;
    QList<int> keys;
    bool answer = true;

private:
    // SEQUENCE { INTEGER version, OCTET STRING community, PDU }: walks to the PDU's tag, every
    // read checked against the datagram's size. Returns -1 for anything else.
    static int pduType(const uchar *b, int n)
    {
        int pos = 0;
        if (n < 2 || b[pos++] != 0x30)
            return -1;
        if (!skipLength(b, n, pos))
            return -1;
        for (uchar tag : {uchar(0x02), uchar(0x04)}) {
            if (pos >= n || b[pos++] != tag)
                return -1;
            int length = 0;
            if (!readLength(b, n, pos, length) || length > n - pos)
                return -1;
            pos += length;
        }
        return pos < n ? b[pos] : -1;
    }
    static bool skipLength(const uchar *b, int n, int &pos)
    {
        int ignored = 0;
        return readLength(b, n, pos, ignored);
    }
    static bool readLength(const uchar *b, int n, int &pos, int &length)
    {
        if (pos >= n)
            return false;
        const int first = b[pos++];
        if (first < 0x80) {
            length = first;
            return true;
        }
        const int count = first & 0x7F;
        if (count < 1 || count > 2 || count > n - pos)
            return false;
        length = 0;
        for (int i = 0; i < count; ++i)
            length = (length << 8) | b[pos++];
        return true;
    }

    QUdpSocket socket;
    bool bound = false;
};

#endif // FAKECONTROLLER_H
