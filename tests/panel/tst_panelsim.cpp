// End to end: the panel's window against the controller simulator on loopback. The display
// shows the simulator's screen and cursor, and keypad presses drive its menus.
#include "commtask.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QCommandLinkButton>
#include <QDial>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <memory>

namespace {
constexpr int Timeout = 15000;
}

class TestPanelSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void showsSimulatorScreenAndFollowsKeys();
    void startThenConnectFollowsSimulator();

private:
    QList<QGraphicsSimpleTextItem *> textItems() const;
    QString rowShown(int row) const { return textItems().value(row + 1)->text(); }
    QGraphicsSimpleTextItem *cursor() const { return textItems().value(0); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    void typeAddress(int port);
    void clickConnect();

    std::unique_ptr<SimProcess> sim;
    int simPort = 0;
    MainWindow *window = nullptr;
};

void TestPanelSim::init()
{
    QVERIFY(!commTask);
    sim.reset(new SimProcess(QStringLiteral(CONTROLLER_SIM_PATH)));
    simPort = sim->start();
    QVERIFY2(simPort > 0, qPrintable(sim->firstLine + sim->process.readAllStandardError()));

    window = new MainWindow;
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void TestPanelSim::cleanup()
{
    delete window;
    window = nullptr;
    QVERIFY(!commTask);
    sim.reset();
}

QList<QGraphicsSimpleTextItem *> TestPanelSim::textItems() const
{
    QList<QGraphicsSimpleTextItem *> items;
    auto *view = window->findChild<QGraphicsView *>("graphicsView");
    for (QGraphicsItem *item : view->scene()->items(Qt::AscendingOrder)) {
        if (item->type() == QGraphicsSimpleTextItem::Type)
            items.append(static_cast<QGraphicsSimpleTextItem *>(item));
    }
    return items;
}

void TestPanelSim::typeAddress(int port)
{
    window->findChild<QSpinBox *>("spinBox_1")->setValue(127);
    window->findChild<QSpinBox *>("spinBox_2")->setValue(0);
    window->findChild<QSpinBox *>("spinBox_3")->setValue(0);
    window->findChild<QSpinBox *>("spinBox_4")->setValue(1);
    window->findChild<QSpinBox *>("spinBox_5")->setValue(port);
}

void TestPanelSim::clickConnect()
{
    QTest::mouseClick(window->findChild<QCommandLinkButton *>("commandLinkButton"), Qt::LeftButton);
}

void TestPanelSim::showsSimulatorScreenAndFollowsKeys()
{
    typeAddress(simPort);
    clickConnect();
    QVERIFY(commTask);

    // The main menu comes up with its title, entries and the cursor on the first entry's digit
    // (row 4, column 3: 8 x 3 - 5 = 19 and 12 x 4 - 12 = 36).
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(0).startsWith("MAIN MENU"), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(15).startsWith("HELP: KEYS"), Timeout);
    QCOMPARE(rowShown(0).size(), 40);
    QVERIFY(rowShown(3).contains("1 STATUS DISPLAY"));
    QTRY_COMPARE_WITH_TIMEOUT(cursor()->text(), QString("_"), Timeout);
    QCOMPARE(cursor()->pos(), QPointF(19, 36));
    auto *bar = window->findChild<QProgressBar *>("progressBar");
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 3 && bar->value() <= 99, Timeout);

    // Down arrow by mouse: the selection and the cursor move to the second entry.
    QTest::mouseClick(button("pushButton_down"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(cursor()->pos(), QPointF(19, 48), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(4).contains(">2 PHASE TIMING"), Timeout);

    // Status by mouse opens the status screen, whose lower half arrives in the second block.
    QTest::mouseClick(button("pushButton_status"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(0).startsWith("STATUS  PAGE 1/2"), Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(9).startsWith("CYCLE"), Timeout);

    // Main Menu by its keyboard shortcut, back where we started.
    QTest::keyClick(window, Qt::Key_M);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(0).startsWith("MAIN MENU"), Timeout);
}

void TestPanelSim::startThenConnectFollowsSimulator()
{
    // Start reaches for the default controller; Connect then points that same task at the
    // simulator.
    QTest::mouseClick(button("pushButton_start"), Qt::LeftButton);
    CommTask *started = commTask;
    QVERIFY(started);
    typeAddress(simPort);
    clickConnect();
    QCOMPARE(commTask, started);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(0).startsWith("MAIN MENU"), Timeout);
    // Keyboard keys handled by the window: S opens the status screen.
    QTest::keyClick(window, Qt::Key_S);
    QTRY_VERIFY_WITH_TIMEOUT(rowShown(0).startsWith("STATUS"), Timeout);
}

QTEST_MAIN(TestPanelSim)
#include "tst_panelsim.moc"
