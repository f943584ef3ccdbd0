// The simulated controller's display: menus, the editable timing screen, the clock and the rings.
#include "controllermodel.h"

#include <QByteArray>
#include <QList>
#include <QTest>

using Screen = ControllerModel::Screen;
Q_DECLARE_METATYPE(ControllerModel::Screen)

namespace {

QByteArray row(const ControllerModel &m, int r)
{
    return QByteArray(m.rowText(r), ControllerModel::Columns);
}

void press(ControllerModel &m, const QList<int> &keys)
{
    for (int k : keys)
        QVERIFY(m.pressKey(k));
}

} // namespace

class TestControllerModel : public QObject
{
    Q_OBJECT

private slots:
    void startsOnTheMainMenu();
    void keysNavigate_data();
    void keysNavigate();
    void invalidKeyCodesChangeNothing_data();
    void invalidKeyCodesChangeNothing();
    void menuArrowsMoveTheSelection();
    void arrowsMoveTheTimingCursor_data();
    void arrowsMoveTheTimingCursor();
    void digitsEditAndEnterCommits();
    void clrCancelsTheEntry();
    void entryAboveTheRangeIsRefused();
    void movingAwayDiscardsTheEntry();
    void nextDataWalksTheFields();
    void nextPageShowsTheOtherParameters();
    void specialFunctionsToggle();
    void clockAdvancesWithTick_data();
    void clockAdvancesWithTick();
    void ringsRunTheirPhases();
    void editedTimingDrivesTheRings();
    void everyScreenIsPrintable_data();
    void everyScreenIsPrintable();
    void blocksCarryCursorAndRows();
};

void TestControllerModel::startsOnTheMainMenu()
{
    ControllerModel m(8 * 3600);
    QCOMPARE(m.screen(), Screen::MainMenu);
    QVERIFY(row(m, 0).startsWith("MAIN MENU"));
    QVERIFY(row(m, 0).endsWith("08:00:00"));
    QVERIFY(row(m, 3).contains("1 STATUS DISPLAY"));
    QVERIFY(row(m, 4).contains("2 PHASE TIMING"));
    // The cursor sits on the number of the selected entry.
    QCOMPARE(m.cursorRow(), 4);
    QCOMPARE(m.cursorColumn(), 3);
    QCOMPARE(row(m, 3).at(2), '1');
    QCOMPARE(m.lastKey(), uint8_t(0));
}

void TestControllerModel::keysNavigate_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<Screen>("screen");
    QTest::addColumn<QByteArray>("title");

    QTest::newRow("1 opens the status display")
        << QList<int>{1} << Screen::Status << QByteArray("STATUS  PAGE 1/2");
    QTest::newRow("2 opens phase timing")
        << QList<int>{2} << Screen::PhaseTiming << QByteArray("PHASE TIMING  PAGE 1/2");
    QTest::newRow("3 opens special functions")
        << QList<int>{3} << Screen::SpecialFunctions << QByteArray("SPECIAL FUNCTIONS");
    QTest::newRow("4 opens unit information")
        << QList<int>{4} << Screen::UnitInfo << QByteArray("UNIT INFORMATION");
    QTest::newRow("5 on the menu does nothing")
        << QList<int>{5} << Screen::MainMenu << QByteArray("MAIN MENU");
    QTest::newRow("down, down, enter opens special functions")
        << QList<int>{14, 14, 23} << Screen::SpecialFunctions << QByteArray("SPECIAL FUNCTIONS");
    QTest::newRow("up from the first entry wraps to the last")
        << QList<int>{13, 23} << Screen::UnitInfo << QByteArray("UNIT INFORMATION");
    QTest::newRow("status key from the menu")
        << QList<int>{21} << Screen::Status << QByteArray("STATUS");
    QTest::newRow("spec func key from the menu")
        << QList<int>{11} << Screen::SpecialFunctions << QByteArray("SPECIAL FUNCTIONS");
    QTest::newRow("main menu returns home from timing")
        << QList<int>{2, 17} << Screen::MainMenu << QByteArray("MAIN MENU");
    QTest::newRow("next scrn from the menu opens status")
        << QList<int>{18} << Screen::Status << QByteArray("STATUS");
    QTest::newRow("next scrn from status opens timing")
        << QList<int>{1, 18} << Screen::PhaseTiming << QByteArray("PHASE TIMING");
    QTest::newRow("next scrn cycles back to status")
        << QList<int>{1, 18, 18, 18, 18} << Screen::Status << QByteArray("STATUS");
    QTest::newRow("next page on status shows page 2")
        << QList<int>{1, 24} << Screen::Status << QByteArray("STATUS  PAGE 2/2");
    QTest::newRow("next page twice on status is page 1 again")
        << QList<int>{1, 24, 24} << Screen::Status << QByteArray("STATUS  PAGE 1/2");
    QTest::newRow("help shows help") << QList<int>{2, 22} << Screen::Help << QByteArray("HELP");
    QTest::newRow("help twice returns to the screen")
        << QList<int>{2, 22, 22} << Screen::PhaseTiming << QByteArray("PHASE TIMING");
    QTest::newRow("clr leaves help")
        << QList<int>{3, 22, 12} << Screen::SpecialFunctions << QByteArray("SPECIAL FUNCTIONS");
    QTest::newRow("sub menu leaves help")
        << QList<int>{1, 22, 19} << Screen::Status << QByteArray("STATUS");
    QTest::newRow("sub menu from a screen returns to the menu")
        << QList<int>{4, 19} << Screen::MainMenu << QByteArray("MAIN MENU");
    QTest::newRow("sub menu on the menu stays")
        << QList<int>{19} << Screen::MainMenu << QByteArray("MAIN MENU");
}

void TestControllerModel::keysNavigate()
{
    QFETCH(QList<int>, keys);
    QFETCH(Screen, screen);
    QFETCH(QByteArray, title);
    ControllerModel m;
    press(m, keys);
    QCOMPARE(m.screen(), screen);
    QVERIFY2(row(m, 0).startsWith(title), row(m, 0).constData());
    QCOMPARE(m.lastKey(), uint8_t(keys.last()));
}

void TestControllerModel::invalidKeyCodesChangeNothing_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("zero") << 0;
    QTest::newRow("25") << 25;
    QTest::newRow("255") << 255;
    QTest::newRow("negative") << -1;
}

void TestControllerModel::invalidKeyCodesChangeNothing()
{
    QFETCH(int, code);
    ControllerModel m;
    QVERIFY(m.pressKey(2));
    const QByteArray before = row(m, 3);
    QVERIFY(!m.pressKey(code));
    QCOMPARE(m.lastKey(), uint8_t(2));
    QCOMPARE(m.screen(), Screen::PhaseTiming);
    QCOMPARE(row(m, 3), before);
}

void TestControllerModel::menuArrowsMoveTheSelection()
{
    ControllerModel m;
    press(m, {14, 14});
    QCOMPARE(m.menuSelection(), 2);
    QCOMPARE(m.cursorRow(), 6);
    QCOMPARE(row(m, 5).at(1), '>');
    QCOMPARE(row(m, 3).at(1), ' ');
    // Sub Menu from the opened screen comes back with its entry still selected.
    press(m, {23, 19});
    QCOMPARE(m.menuSelection(), 2);
    // Main Menu always starts from the first entry.
    press(m, {17});
    QCOMPARE(m.menuSelection(), 0);
}

void TestControllerModel::arrowsMoveTheTimingCursor_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<int>("cursorRow");
    QTest::addColumn<int>("cursorColumn");

    // Fields are 4 wide from column 8; the cursor is on a field's last digit.
    QTest::newRow("first field") << QList<int>{} << 4 << 12;
    QTest::newRow("right") << QList<int>{16} << 4 << 16;
    QTest::newRow("right, down") << QList<int>{16, 14} << 5 << 16;
    QTest::newRow("left at the first phase stays") << QList<int>{15} << 4 << 12;
    QTest::newRow("up at the first row stays") << QList<int>{13} << 4 << 12;
    QTest::newRow("right to the last phase, column 40")
        << QList<int>{16, 16, 16, 16, 16, 16, 16, 16, 16} << 4 << 40;
    QTest::newRow("down to the last row stops") << QList<int>{14, 14, 14, 14, 14} << 7 << 12;
    QTest::newRow("down, up") << QList<int>{14, 13} << 4 << 12;
}

void TestControllerModel::arrowsMoveTheTimingCursor()
{
    QFETCH(QList<int>, keys);
    QFETCH(int, cursorRow);
    QFETCH(int, cursorColumn);
    ControllerModel m;
    press(m, {2});
    press(m, keys);
    QCOMPARE(m.cursorRow(), cursorRow);
    QCOMPARE(m.cursorColumn(), cursorColumn);
    // The cell under the cursor is a digit of the field's value.
    const char under = row(m, cursorRow - 1).at(cursorColumn - 1);
    QVERIFY2(under >= '0' && under <= '9', QByteArray(1, under).constData());
}

void TestControllerModel::digitsEditAndEnterCommits()
{
    ControllerModel m;
    press(m, {2, 16}); // min green of phase 2, factory value 15
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 15);
    press(m, {2, 5});
    QCOMPARE(row(m, 3).mid(12, 4), QByteArray("  25"));
    // Typed digits show but are not stored before Enter.
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 15);
    press(m, {23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 25);
    QCOMPARE(row(m, 3).mid(12, 4), QByteArray("  25"));
    QVERIFY(row(m, 9).startsWith("STORED"));
    // The digit 0 is key 10.
    press(m, {1, 10, 10, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 100);
    // At most three digits: a fourth is ignored.
    press(m, {1, 2, 3, 4, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 123);
    // Enter without digits keeps the value.
    press(m, {23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 123);
}

void TestControllerModel::clrCancelsTheEntry()
{
    ControllerModel m;
    press(m, {2, 9, 9});
    QCOMPARE(row(m, 3).mid(8, 4), QByteArray("  99"));
    press(m, {12});
    QCOMPARE(row(m, 3).mid(8, 4), QByteArray("   5"));
    QVERIFY(row(m, 9).startsWith("ENTRY CLEARED"));
    press(m, {23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 0), 5);
}

void TestControllerModel::entryAboveTheRangeIsRefused()
{
    ControllerModel m;
    press(m, {2, 3, 10, 10, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 0), 5);
    QVERIFY(row(m, 9).startsWith("VALUE OUT OF RANGE"));
    press(m, {2, 5, 5, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 0), 255);
}

void TestControllerModel::movingAwayDiscardsTheEntry()
{
    ControllerModel m;
    press(m, {2, 4, 16, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 0), 5);
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 1), 15);
}

void TestControllerModel::nextDataWalksTheFields()
{
    ControllerModel m;
    press(m, {2});
    for (int i = 0; i < 7; ++i)
        press(m, {20});
    QCOMPARE(m.cursorRow(), 4);
    QCOMPARE(m.cursorColumn(), 40);
    // After the last phase it goes on with the next parameter's first phase.
    press(m, {20});
    QCOMPARE(m.cursorRow(), 5);
    QCOMPARE(m.cursorColumn(), 12);
    press(m, {7, 23});
    QCOMPARE(m.timingValue(ControllerModel::Passage, 0), 7);
}

void TestControllerModel::nextPageShowsTheOtherParameters()
{
    ControllerModel m;
    press(m, {2});
    QVERIFY(row(m, 3).startsWith("MIN GRN"));
    press(m, {24});
    QVERIFY(row(m, 0).startsWith("PHASE TIMING  PAGE 2/2"));
    QVERIFY(row(m, 3).startsWith("YELLOW"));
    QVERIFY(row(m, 6).startsWith("PED CLR"));
    press(m, {6, 23});
    QCOMPARE(m.timingValue(ControllerModel::Yellow, 0), 6);
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 0), 5);
}

void TestControllerModel::specialFunctionsToggle()
{
    ControllerModel m;
    press(m, {11, 3});
    QVERIFY(m.specialFunction(2));
    QCOMPARE(row(m, 3).mid(16, 4), QByteArray("  ON"));
    press(m, {3});
    QVERIFY(!m.specialFunction(2));
    QCOMPARE(row(m, 3).mid(16, 4), QByteArray(" OFF"));
    press(m, {9, 10}); // no function 9 or 0
    for (int i = 0; i < 8; ++i)
        QVERIFY(!m.specialFunction(i));
    // No cursor on a screen without a data field.
    QCOMPARE(m.cursorRow(), 0);
    QCOMPARE(m.cursorColumn(), 0);
    press(m, {5, 21});
    QVERIFY(row(m, 10).contains("SPEC FUNC ON: 5"));
}

void TestControllerModel::clockAdvancesWithTick_data()
{
    QTest::addColumn<int>("start");
    QTest::addColumn<QList<int>>("ticks");
    QTest::addColumn<QByteArray>("clock");

    QTest::newRow("no time") << 8 * 3600 << QList<int>{} << QByteArray("08:00:00");
    QTest::newRow("999 ms is still the same second")
        << 8 * 3600 << QList<int>{999} << QByteArray("08:00:00");
    QTest::newRow("one second in two ticks")
        << 8 * 3600 << QList<int>{999, 1} << QByteArray("08:00:01");
    QTest::newRow("ten ticks of 100 ms")
        << 8 * 3600 << QList<int>{100, 100, 100, 100, 100, 100, 100, 100, 100, 100}
        << QByteArray("08:00:01");
    QTest::newRow("an hour") << 8 * 3600 << QList<int>{3600 * 1000} << QByteArray("09:00:00");
    QTest::newRow("midnight wraps") << 86399 << QList<int>{1000} << QByteArray("00:00:00");
    QTest::newRow("negative tick is ignored")
        << 8 * 3600 << QList<int>{-5000} << QByteArray("08:00:00");
}

void TestControllerModel::clockAdvancesWithTick()
{
    QFETCH(int, start);
    QFETCH(QList<int>, ticks);
    QFETCH(QByteArray, clock);
    ControllerModel m(start);
    press(m, {1});
    for (int t : ticks)
        m.tick(t);
    QCOMPARE(row(m, 0).right(8), clock);
}

void TestControllerModel::ringsRunTheirPhases()
{
    ControllerModel m;
    press(m, {1});
    QCOMPARE(m.ringPhase(0), 2);
    QCOMPARE(m.ringPhase(1), 6);
    QCOMPARE(m.ringInterval(0), ControllerModel::Green);
    // Phase 2: min green 15 + 2 passages of 4 = 23 s, below max 1 of 40.
    QCOMPARE(m.ringRemainingTenths(0), 230);
    QCOMPARE(row(m, 3).mid(12, 4), QByteArray("   G"));
    QCOMPARE(row(m, 4).mid(12, 4), QByteArray("  23"));
    QVERIFY(row(m, 6).startsWith("RING 1  PHASE 2  GREEN"));

    m.tick(1000);
    QCOMPARE(m.ringRemainingTenths(0), 220);
    QCOMPARE(row(m, 4).mid(12, 4), QByteArray("  22"));

    m.tick(22000);
    QCOMPARE(m.ringInterval(0), ControllerModel::YellowChange);
    QCOMPARE(m.ringRemainingTenths(0), 40);
    QCOMPARE(row(m, 3).mid(12, 4), QByteArray("   Y"));
    m.tick(4000);
    QCOMPARE(m.ringInterval(0), ControllerModel::RedClearance);
    m.tick(2000);
    QCOMPARE(m.ringPhase(0), 3);
    QCOMPARE(m.ringInterval(0), ControllerModel::Green);

    // A whole cycle of ring 1 visits phases 3, 4, 1 and then 2 again, in that order.
    QList<int> order;
    for (int i = 0; i < 2000 && order.size() < 4; ++i) {
        m.tick(100);
        if (m.ringPhase(0) != (order.isEmpty() ? 3 : order.last()))
            order.append(m.ringPhase(0));
    }
    QCOMPARE(order, (QList<int>{4, 1, 2, 3}));
    QVERIFY(m.ringPhase(1) >= 5 && m.ringPhase(1) <= 8);
}

void TestControllerModel::editedTimingDrivesTheRings()
{
    ControllerModel m;
    // Phase 3 (ring 1's next phase): min green 10, max 1 stays 20, passage 3 -> green 16 s.
    press(m, {2, 16, 16, 1, 10, 23});
    QCOMPARE(m.timingValue(ControllerModel::MinGreen, 2), 10);
    m.tick(23000 + 4000 + 2000);
    QCOMPARE(m.ringPhase(0), 3);
    QCOMPARE(m.ringRemainingTenths(0), 160);
}

void TestControllerModel::everyScreenIsPrintable_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::newRow("main menu") << QList<int>{};
    QTest::newRow("status page 1") << QList<int>{1};
    QTest::newRow("status page 2") << QList<int>{1, 24};
    QTest::newRow("timing page 1 while editing") << QList<int>{2, 4, 2};
    QTest::newRow("timing page 2") << QList<int>{2, 24};
    QTest::newRow("special functions, all on") << QList<int>{3, 1, 2, 3, 4, 5, 6, 7, 8, 21};
    QTest::newRow("unit information") << QList<int>{4};
    QTest::newRow("help") << QList<int>{22};
}

void TestControllerModel::everyScreenIsPrintable()
{
    QFETCH(QList<int>, keys);
    ControllerModel m(23 * 3600 + 59 * 60 + 58);
    press(m, keys);
    for (int step = 0; step < 3; ++step) {
        for (int r = 0; r < ControllerModel::Rows; ++r) {
            QCOMPARE(int(m.rowText(r)[ControllerModel::Columns]), 0);
            for (int c = 0; c < ControllerModel::Columns; ++c) {
                const char ch = m.rowText(r)[c];
                QVERIFY2(ch >= 0x20 && ch < 0x7F,
                         qPrintable(QString("row %1 column %2").arg(r).arg(c)));
            }
        }
        // Both cursor coordinates shown, or neither.
        QVERIFY((m.cursorRow() == 0) == (m.cursorColumn() == 0));
        QVERIFY(m.cursorRow() >= 0 && m.cursorRow() <= 16);
        QVERIFY(m.cursorColumn() >= 0 && m.cursorColumn() <= 40);
        uint8_t second[ControllerModel::SecondBlockSize];
        m.secondBlock(second);
        QVERIFY(second[0] > 16);
        m.tick(12345);
    }
}

void TestControllerModel::blocksCarryCursorAndRows()
{
    ControllerModel m;
    press(m, {2, 14, 16});
    uint8_t first[ControllerModel::FirstBlockSize];
    uint8_t second[ControllerModel::SecondBlockSize];
    m.firstBlock(first);
    m.secondBlock(second);
    QCOMPARE(int(first[0]), 5);
    QCOMPARE(int(first[1]), 16);
    for (int r = 0; r < 8; ++r) {
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(first) + 2 + 40 * r, 40), row(m, r));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(second) + 40 * r, 40), row(m, 8 + r));
    }
}

QTEST_GUILESS_MAIN(TestControllerModel)
#include "tst_controllermodel.moc"
