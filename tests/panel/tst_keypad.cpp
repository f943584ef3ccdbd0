// The keypad: buttons, shortcuts and keyboard keys reach the controller as key codes. Each case
// runs a real link task against the simulator's controller server on loopback and reads the code
// off the SetRequest that arrives there.
#include "commtask.h"
#include "mainwindow.h"
#include "serverthread.h"

#include <QCommandLinkButton>
#include <QDial>
#include <QGraphicsView>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <mutex>

namespace {
constexpr int Timeout = 10000;
}

class TestKeypad : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void buttonSendsItsCode_data();
    void buttonSendsItsCode();
    void keyboardSendsItsCode_data();
    void keyboardSendsItsCode();
    void unmappedKeySendsNothing_data();
    void unmappedKeySendsNothing();
    void startSendsNoKey();
    void nothingRememberedBeforeFirstTask();
    void returnOnFocusedConnectConnectsThenSendsEnter();
    void returnElsewhereSendsEnterWithoutConnecting();
    void keyAfterClickReachesController_data();
    void keyAfterClickReachesController();
    void tabReachesDialButNeverDisplay();

private:
    QPushButton *button(const QString &name) const
    {
        return window->findChild<QPushButton *>(name);
    }
    QDial *dial() const { return window->findChild<QDial *>("dial"); }
    QCommandLinkButton *connectButton() const
    {
        return window->findChild<QCommandLinkButton *>("commandLinkButton");
    }
    void setAddress(int port);
    void connectToPeer();
    // After `count` more polls every key stored before now has been sent: a cycle polls first
    // and sends its key after, and loopback keeps the datagrams in order.
    bool settled(int count);

    MainWindow *window = nullptr;
    ServerThread *peer = nullptr;
    int getsAtMark = 0;
};

void TestKeypad::init()
{
    QVERIFY(!commTask);
    peer = new ServerThread;
    QVERIFY(peer->port() != 0);
    peer->serveBlankDisplay();
    window = new MainWindow;
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void TestKeypad::cleanup()
{
    delete window;
    window = nullptr;
    delete peer;
    peer = nullptr;
    QVERIFY(!commTask);
}

void TestKeypad::setAddress(int port)
{
    window->findChild<QSpinBox *>("spinBox_1")->setValue(127);
    window->findChild<QSpinBox *>("spinBox_2")->setValue(0);
    window->findChild<QSpinBox *>("spinBox_3")->setValue(0);
    window->findChild<QSpinBox *>("spinBox_4")->setValue(1);
    window->findChild<QSpinBox *>("spinBox_5")->setValue(port);
    window->findChild<QDial *>("dial")->setValue(10);
}

void TestKeypad::connectToPeer()
{
    setAddress(peer->port());
    QTest::mouseClick(connectButton(), Qt::LeftButton);
    QVERIFY(commTask);
    QCOMPARE(QApplication::focusWidget(), window);
    QTRY_VERIFY_WITH_TIMEOUT(peer->count(SnmpBytes::GetRequest) >= 1, Timeout);
}

bool TestKeypad::settled(int count)
{
    return peer->count(SnmpBytes::GetRequest) >= getsAtMark + count;
}

void TestKeypad::buttonSendsItsCode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");

    const struct
    {
        const char *name;
        int code;
    } buttons[] = {
        {"pushButton_1", 1},      {"pushButton_2", 2},      {"pushButton_3", 3},
        {"pushButton_4", 4},      {"pushButton_5", 5},      {"pushButton_6", 6},
        {"pushButton_7", 7},      {"pushButton_8", 8},      {"pushButton_9", 9},
        {"pushButton_0", 10},     {"pushButton_sf", 11},    {"pushButton_c", 12},
        {"pushButton_up", 13},    {"pushButton_down", 14},  {"pushButton_left", 15},
        {"pushButton_right", 16}, {"pushButton_mm", 17},    {"pushButton_ns", 18},
        {"pushButton_sm", 19},    {"pushButton_nd", 20},    {"pushButton_status", 21},
        {"pushButton_help", 22},  {"pushButton_enter", 23}, {"pushButton_np", 24},
    };
    for (const auto &b : buttons)
        QTest::addRow("%s sends %d", b.name, b.code) << b.name << b.code;
}

void TestKeypad::buttonSendsItsCode()
{
    QFETCH(QString, name);
    QFETCH(int, code);

    connectToPeer();
    QPushButton *key = button(name);
    QVERIFY(key);
    QTest::mouseClick(key, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!peer->keys().isEmpty(), Timeout);
    QCOMPARE(peer->keys().first(), code);
    // Sent once, and the click left the focus with the window.
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(2), Timeout);
    QCOMPARE(peer->keys(), QList<int>{code});
    QCOMPARE(QApplication::focusWidget(), window);
}

void TestKeypad::keyboardSendsItsCode_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("shortcutButton"); // the button whose shortcut the key is

    const struct
    {
        const char *name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int code;
        const char *shortcut;
    } rows[] = {
        {"shortcut 1", Qt::Key_1, Qt::NoModifier, 1, "pushButton_1"},
        {"shortcut 2", Qt::Key_2, Qt::NoModifier, 2, "pushButton_2"},
        {"shortcut 3", Qt::Key_3, Qt::NoModifier, 3, "pushButton_3"},
        {"shortcut 4", Qt::Key_4, Qt::NoModifier, 4, "pushButton_4"},
        {"shortcut 5", Qt::Key_5, Qt::NoModifier, 5, "pushButton_5"},
        {"shortcut 6", Qt::Key_6, Qt::NoModifier, 6, "pushButton_6"},
        {"shortcut 7", Qt::Key_7, Qt::NoModifier, 7, "pushButton_7"},
        {"shortcut 8", Qt::Key_8, Qt::NoModifier, 8, "pushButton_8"},
        {"shortcut 9", Qt::Key_9, Qt::NoModifier, 9, "pushButton_9"},
        {"shortcut 0 gives 10", Qt::Key_0, Qt::NoModifier, 10, "pushButton_0"},
        {"shortcut M gives Main Menu", Qt::Key_M, Qt::NoModifier, 17, "pushButton_mm"},
        {"Space gives 10 like the 0 key", Qt::Key_Space, Qt::NoModifier, 10, ""},
        {"asterisk gives Spec Func", Qt::Key_Asterisk, Qt::NoModifier, 11, ""},
        {"F gives Spec Func", Qt::Key_F, Qt::NoModifier, 11, ""},
        {"period gives Clr", Qt::Key_Period, Qt::NoModifier, 12, ""},
        {"C gives Clr", Qt::Key_C, Qt::NoModifier, 12, ""},
        {"Delete gives Clr", Qt::Key_Delete, Qt::NoModifier, 12, ""},
        {"Up arrow", Qt::Key_Up, Qt::NoModifier, 13, ""},
        {"Down arrow", Qt::Key_Down, Qt::NoModifier, 14, ""},
        {"Left arrow", Qt::Key_Left, Qt::NoModifier, 15, ""},
        {"Right arrow", Qt::Key_Right, Qt::NoModifier, 16, ""},
        {"Home gives Main Menu", Qt::Key_Home, Qt::NoModifier, 17, ""},
        {"Page Down gives Next Scrn", Qt::Key_PageDown, Qt::NoModifier, 18, ""},
        {"Escape gives Sub Menu", Qt::Key_Escape, Qt::NoModifier, 19, ""},
        {"End gives Sub Menu", Qt::Key_End, Qt::NoModifier, 19, ""},
        {"minus gives Next Data", Qt::Key_Minus, Qt::NoModifier, 20, ""},
        {"D gives Next Data", Qt::Key_D, Qt::NoModifier, 20, ""},
        {"plus gives Status", Qt::Key_Plus, Qt::NoModifier, 21, ""},
        {"s gives Status", Qt::Key_S, Qt::NoModifier, 21, ""},
        {"S with Shift gives Status", Qt::Key_S, Qt::ShiftModifier, 21, ""},
        {"s with Ctrl gives Status", Qt::Key_S, Qt::ControlModifier, 21, ""},
        {"s with Alt gives Status", Qt::Key_S, Qt::AltModifier, 21, ""},
        {"slash gives Help", Qt::Key_Slash, Qt::NoModifier, 22, ""},
        {"H gives Help", Qt::Key_H, Qt::NoModifier, 22, ""},
        {"Return gives Enter", Qt::Key_Return, Qt::NoModifier, 23, ""},
        {"keypad Enter gives Enter", Qt::Key_Enter, Qt::KeypadModifier, 23, ""},
        {"Page Up gives Next Page", Qt::Key_PageUp, Qt::NoModifier, 24, ""},
        {"Ctrl with Page Up still gives Next Page", Qt::Key_PageUp, Qt::ControlModifier, 24, ""},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << int(r.key) << int(r.modifiers) << r.code << r.shortcut;
}

void TestKeypad::keyboardSendsItsCode()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, code);
    QFETCH(QString, shortcutButton);

    connectToPeer();
    // Keys without a shortcut must click nothing: the Start button stands in for "no button".
    QSignalSpy clicked(button(shortcutButton.isEmpty() ? "pushButton_start" : shortcutButton),
                       &QPushButton::clicked);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_VERIFY_WITH_TIMEOUT(!peer->keys().isEmpty(), Timeout);
    QCOMPARE(peer->keys().first(), code);
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(2), Timeout);
    QCOMPARE(peer->keys(), QList<int>{code});
    QCOMPARE(clicked.count(), shortcutButton.isEmpty() ? 0 : 1);
}

void TestKeypad::unmappedKeySendsNothing_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");

    QTest::newRow("comma") << int(Qt::Key_Comma) << int(Qt::NoModifier);
    QTest::newRow("function key F5") << int(Qt::Key_F5) << int(Qt::NoModifier);
    QTest::newRow("letter A") << int(Qt::Key_A) << int(Qt::NoModifier);
    QTest::newRow("Insert") << int(Qt::Key_Insert) << int(Qt::NoModifier);
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier);
}

void TestKeypad::unmappedKeySendsNothing()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);

    connectToPeer();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(3), Timeout);
    QVERIFY(peer->keys().isEmpty());
    // Nothing but polls and keys: no request of another kind.
    QCOMPARE(peer->requests(), peer->count(SnmpBytes::GetRequest));
}

void TestKeypad::startSendsNoKey()
{
    connectToPeer();
    CommTask *connected = commTask;
    QTest::mouseClick(button("pushButton_start"), Qt::LeftButton);
    QVERIFY(commTask != connected);
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(3), Timeout);
    QVERIFY(peer->keys().isEmpty());
}

void TestKeypad::nothingRememberedBeforeFirstTask()
{
    QVERIFY(!commTask);
    QVERIFY(!connectButton()->hasFocus());
    for (QPushButton *key : window->findChildren<QPushButton *>()) {
        if (key->objectName() != "pushButton_start" && key != connectButton())
            QTest::mouseClick(key, Qt::LeftButton);
    }
    QSignalSpy three(button("pushButton_3"), &QPushButton::clicked);
    QSignalSpy mainMenu(button("pushButton_mm"), &QPushButton::clicked);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_S, Qt::Key_Up, Qt::Key_PageUp, Qt::Key_Return,
                        Qt::Key_3, Qt::Key_M})
        QTest::keyClick(window, key);
    // The shortcuts' clicks come a moment later; they too land before any task exists.
    QTRY_COMPARE_WITH_TIMEOUT(three.count(), 1, Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(mainMenu.count(), 1, Timeout);
    QVERIFY(!commTask);

    connectToPeer();
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(3), Timeout);
    QVERIFY(peer->keys().isEmpty());
}

void TestKeypad::returnOnFocusedConnectConnectsThenSendsEnter()
{
    setAddress(peer->port());
    connectButton()->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(connectButton()->hasFocus(), Timeout);
    QVERIFY(!commTask);

    QTest::keyClick(connectButton(), Qt::Key_Return);
    // Connect ran first and made the task; Enter went into that very task.
    QVERIFY(commTask);
    QCOMPARE(QApplication::focusWidget(), window);
    QTRY_VERIFY_WITH_TIMEOUT(!peer->keys().isEmpty(), Timeout);
    QCOMPARE(peer->keys(), QList<int>{23});
    QVERIFY(peer->count(SnmpBytes::GetRequest) >= 1);
}

void TestKeypad::returnElsewhereSendsEnterWithoutConnecting()
{
    connectToPeer();
    CommTask *task = commTask;
    // Marks the screen: a reconnect would blank it.
    {
        std::lock_guard<std::mutex> locker(task->screenLock);
        task->screen[0] = 'X';
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!peer->keys().isEmpty(), Timeout);
    QCOMPARE(peer->keys(), QList<int>{23});
    QCOMPARE(commTask, task);
    QCOMPARE(task->rowText(0)[0], 'X');
}

void TestKeypad::keyAfterClickReachesController_data()
{
    QTest::addColumn<QString>("clicked"); // object name of the widget clicked after Connect
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("code");

    QTest::newRow("click on the display, then Up") << "graphicsView" << int(Qt::Key_Up) << 13;
    QTest::newRow("click on the display, then Page Down")
        << "graphicsView" << int(Qt::Key_PageDown) << 18;
    QTest::newRow("dial let go, then Down") << "dial" << int(Qt::Key_Down) << 14;
    QTest::newRow("dial let go, then Page Up") << "dial" << int(Qt::Key_PageUp) << 24;
}

void TestKeypad::keyAfterClickReachesController()
{
    QFETCH(QString, clicked);
    QFETCH(int, key);
    QFETCH(int, code);

    connectToPeer();
    auto *target = window->findChild<QWidget *>(clicked);
    QVERIFY(target);
    // A view takes its mouse input on its viewport.
    if (auto *view = qobject_cast<QGraphicsView *>(target))
        target = view->viewport();
    QTest::mouseClick(target, Qt::LeftButton);
    const int dialValue = dial()->value();
    QCOMPARE(QApplication::focusWidget(), window);

    // Through the window, as the keyboard delivers it: the focused widget gets it first.
    QTest::keyClick(window->windowHandle(), Qt::Key(key));
    QTRY_VERIFY_WITH_TIMEOUT(!peer->keys().isEmpty(), Timeout);
    QCOMPARE(peer->keys(), QList<int>{code});
    QCOMPARE(dial()->value(), dialValue);
}

void TestKeypad::tabReachesDialButNeverDisplay()
{
    connectToPeer();
    auto *view = window->findChild<QGraphicsView *>("graphicsView");
    // The focus chain is short: a dozen Tabs go round it at least once.
    int dialVisits = 0;
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
        QVERIFY(!view->hasFocus());
        dialVisits += dial()->hasFocus();
    }
    QVERIFY(dialVisits > 0);
    for (int i = 0; i < 12 && !dial()->hasFocus(); ++i)
        QTest::keyClick(window->windowHandle(), Qt::Key_Tab);
    QVERIFY(dial()->hasFocus());

    // Tabbed to, the dial turns with the arrows and the controller gets no key.
    const int before = dial()->value();
    QTest::keyClick(window->windowHandle(), Qt::Key_Up);
    QCOMPARE(dial()->value(), before + 10);
    getsAtMark = peer->count(SnmpBytes::GetRequest);
    QTRY_VERIFY_WITH_TIMEOUT(settled(3), Timeout);
    QVERIFY(peer->keys().isEmpty());
}

QTEST_MAIN(TestKeypad)
#include "tst_keypad.moc"
