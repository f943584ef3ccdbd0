// The link task end to end against the controller simulator, started on a free loopback port.
#include "commtask.h"
#include "simprocess.h"
#include "taskhelpers.h"

#include <QtTest>

#include <cstring>

namespace {

constexpr int Patience = 20000;

QByteArray rows(CommTask &task)
{
    QByteArray all;
    for (int row = 0; row < CommTask::Rows; ++row)
        all += QByteArray(task.rowText(row)) + '\n';
    return all;
}

} // namespace

class TestCommTaskSim : public QObject
{
    Q_OBJECT

private slots:
    void fillsScreenAndKeyChangesIt();
    void delayedRepliesGiveHighFigure();
    void lostRepliesGiveHundred();
};

void TestCommTaskSim::fillsScreenAndKeyChangesIt()
{
    SimProcess sim(QStringLiteral(CONTROLLER_SIM_PATH));
    const quint16 port = sim.start();
    QVERIFY2(port != 0, "controller-sim did not report its port");

    CommTask task;
    // Zero bytes to start with: every row that ends up 40 characters long came from a reply.
    std::memset(task.screen, 0, sizeof task.screen);
    auto guard = startPolling(task, port, 20);

    QTRY_VERIFY_WITH_TIMEOUT(!screenOf(task).left(640).contains('\0'), Patience);
    for (int row = 0; row < CommTask::Rows; ++row)
        QCOMPARE(int(std::strlen(task.rowText(row))), CommTask::Columns);
    QVERIFY(task.cursorRow >= 1 && task.cursorRow <= CommTask::Rows);
    QVERIFY(task.cursorColumn >= 1 && task.cursorColumn <= CommTask::Columns);
    QVERIFY2(rows(task).contains("MAIN MENU"), rows(task).constData());

    // Help (key 22) opens the key help page, whose text the main menu does not show.
    QVERIFY(!rows(task).contains("ARROWS MOVE THE CURSOR"));
    task.pendingKey = 22;
    QTRY_VERIFY_WITH_TIMEOUT(rows(task).contains("ARROWS MOVE THE CURSOR"), Patience);
    QTRY_VERIFY_WITH_TIMEOUT(task.latency >= 3 && task.latency <= 50, Patience);
}

void TestCommTaskSim::delayedRepliesGiveHighFigure()
{
    SimProcess sim(QStringLiteral(CONTROLLER_SIM_PATH));
    const quint16 port = sim.start({"--delay", "60"});
    QVERIFY2(port != 0, "controller-sim did not report its port");

    CommTask task;
    auto guard = startPolling(task, port, 20);

    // 60 ms late: the figure lies between 51 and 99, and the screen still fills.
    QTRY_VERIFY_WITH_TIMEOUT(task.latency > 50 && task.latency < 100, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(rows(task).contains("MAIN MENU"), Patience);
}

void TestCommTaskSim::lostRepliesGiveHundred()
{
    SimProcess sim(QStringLiteral(CONTROLLER_SIM_PATH));
    const quint16 port = sim.start({"--drop", "100"});
    QVERIFY2(port != 0, "controller-sim did not report its port");

    CommTask task;
    auto guard = startPolling(task, port, 20);

    QTRY_COMPARE_WITH_TIMEOUT(task.latency.load(), 100, Patience);
    QCOMPARE(screenOf(task), QByteArray(CommTask::ScreenSize, ' '));
}

QTEST_GUILESS_MAIN(TestCommTaskSim)
#include "tst_commtask_sim.moc"
