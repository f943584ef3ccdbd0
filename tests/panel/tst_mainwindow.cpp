// The main window: its display scene, Connect, Start, the dial, the 100 ms refresh and the
// shutdown of its link tasks, with real link tasks talking to the simulator's controller server
// on loopback.
#include "commtask.h"
#include "mainwindow.h"
#include "serverthread.h"

#include <QCommandLinkButton>
#include <QDial>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {
constexpr int Timeout = 10000;

QString hostOf(CommTask *task)
{
    std::lock_guard<std::mutex> locker(task->addressLock);
    return task->host;
}

int portOf(CommTask *task)
{
    std::lock_guard<std::mutex> locker(task->addressLock);
    return task->port;
}

// Puts text into one screen row, padded with spaces to the row's 40 bytes.
void writeRow(CommTask *task, int row, const QByteArray &text)
{
    QByteArray bytes = text.leftJustified(CommTask::Columns, ' ', true);
    std::lock_guard<std::mutex> locker(task->screenLock);
    std::memcpy(task->screen + row * CommTask::Columns, bytes.constData(), CommTask::Columns);
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sceneHoldsRowsAndCursor();
    void nothingShownBeforeLink();
    void connectCreatesTask_data();
    void connectCreatesTask();
    void secondConnectRestartsSameTask();
    void startTwiceFollowsSecondTask();
    void timerPlacesCursor_data();
    void timerPlacesCursor();
    void timerCopiesRows();
    void barShowsLatency();
    void transformFollowsViewSize();
    void dialReleaseSetsPollInterval();
    void closingJoinsEveryTask();
    void namesItsDesktopEntryAndShowsItsIcon();

private:
    QGraphicsView *view() const { return window->findChild<QGraphicsView *>("graphicsView"); }
    QProgressBar *bar() const { return window->findChild<QProgressBar *>("progressBar"); }
    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(name); }
    QSpinBox *spin(int i) const
    {
        return window->findChild<QSpinBox *>(QString("spinBox_%1").arg(i));
    }
    // Scene items bottom to top: the cursor mark first, then rows 0..15.
    QList<QGraphicsSimpleTextItem *> textItems() const;
    QGraphicsSimpleTextItem *cursor() const { return textItems().value(0); }
    QString rowShown(int row) const { return textItems().value(row + 1)->text(); }
    void connectTo(int a, int b, int c, int d, int port, int dialValue);

    MainWindow *window = nullptr;
};

void TestMainWindow::init()
{
    QVERIFY(!commTask);
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
    QVERIFY(!commTask);
}

QList<QGraphicsSimpleTextItem *> TestMainWindow::textItems() const
{
    QList<QGraphicsSimpleTextItem *> items;
    for (QGraphicsItem *item : view()->scene()->items(Qt::AscendingOrder)) {
        if (item->type() == QGraphicsSimpleTextItem::Type)
            items.append(static_cast<QGraphicsSimpleTextItem *>(item));
    }
    return items;
}

void TestMainWindow::connectTo(int a, int b, int c, int d, int port, int dialValue)
{
    spin(1)->setValue(a);
    spin(2)->setValue(b);
    spin(3)->setValue(c);
    spin(4)->setValue(d);
    spin(5)->setValue(port);
    window->findChild<QDial *>("dial")->setValue(dialValue);
    QTest::mouseClick(window->findChild<QCommandLinkButton *>("commandLinkButton"), Qt::LeftButton);
}

void TestMainWindow::sceneHoldsRowsAndCursor()
{
    QGraphicsScene *scene = view()->scene();
    QVERIFY(scene);
    QCOMPARE(scene->sceneRect(), QRectF(0, 0, 20, 20));
    QCOMPARE(view()->sceneRect(), QRectF(0, 0, 20, 20));
    const QList<QGraphicsSimpleTextItem *> items = textItems();
    QCOMPARE(items.size(), 17);
    QCOMPARE(scene->items().size(), 17);
    QCOMPARE(items[0]->pos(), QPointF(1, 1));
    for (int i = 0; i < 16; ++i)
        QCOMPARE(items[i + 1]->pos(), QPointF(3, 12 * i));
    for (QGraphicsSimpleTextItem *item : items) {
        QCOMPARE(item->font().family(), QString("Courier"));
        QCOMPARE(item->font().pointSize(), 10);
        QCOMPARE(item->font().styleHint(), QFont::TypeWriter);
        QCOMPARE(item->font().weight(), QFont::Normal);
        QVERIFY(!item->font().italic());
    }
    // Courier's metrics: 8 units a character at 10 points, so the mark lands under its column.
    const QFontMetricsF metrics(items[1]->font());
    QVERIFY2(qAbs(metrics.horizontalAdvance(QString(40, 'M')) - 320.0) < 4.0,
             qPrintable(QFontInfo(items[1]->font()).family()));
    QCOMPARE(metrics.horizontalAdvance('_'), metrics.horizontalAdvance('i'));
}

void TestMainWindow::nothingShownBeforeLink()
{
    // Wait for a tick: the first one sets the view's scale.
    QTRY_VERIFY_WITH_TIMEOUT(!view()->transform().isIdentity(), Timeout);
    QVERIFY(!commTask);
    for (int i = 0; i < 16; ++i)
        QVERIFY(rowShown(i).isEmpty());
    QVERIFY(cursor()->text().isEmpty());
    QCOMPARE(bar()->value(), 0);
    // Keys and the dial without a link do nothing and create nothing.
    QTest::mouseClick(button("pushButton_5"), Qt::LeftButton);
    window->findChild<QDial *>("dial")->setSliderDown(true);
    window->findChild<QDial *>("dial")->setValue(300);
    window->findChild<QDial *>("dial")->setSliderDown(false);
    QVERIFY(!commTask);
}

void TestMainWindow::connectCreatesTask_data()
{
    QTest::addColumn<QList<int>>("octets");
    QTest::addColumn<int>("dialValue");
    QTest::addColumn<QString>("host");

    QTest::newRow("default address, shortest interval")
        << QList<int>{127, 0, 0, 1} << 10 << "127.0.0.1";
    QTest::newRow("other loopback address, longest interval")
        << QList<int>{127, 0, 0, 2} << 1000 << "127.0.0.2";
    QTest::newRow("three-digit octets, first box first")
        << QList<int>{127, 255, 100, 254} << 250 << "127.255.100.254";
}

void TestMainWindow::connectCreatesTask()
{
    QFETCH(QList<int>, octets);
    QFETCH(int, dialValue);
    QFETCH(QString, host);

    // Every 127.x address is loopback: the peer listens on the one typed in.
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress(host), 0));

    connectTo(octets[0], octets[1], octets[2], octets[3], peer.localPort(), dialValue);
    QVERIFY(commTask);
    QCOMPARE(hostOf(commTask), host);
    QCOMPARE(portOf(commTask), int(peer.localPort()));
    QCOMPARE(commTask->pollInterval.load(), dialValue);
    QCOMPARE(QApplication::focusWidget(), window);
    // The task really talks to the typed address and port.
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingDatagrams(), Timeout);
    QVERIFY(commTask->isRunning());
}

void TestMainWindow::secondConnectRestartsSameTask()
{
    ServerThread first, second;
    first.serveBlankDisplay();
    second.serveBlankDisplay();
    QVERIFY(first.port() != 0 && second.port() != 0);
    connectTo(127, 0, 0, 1, first.port(), 10);
    CommTask *task = commTask;
    QVERIFY(task);
    QTRY_VERIFY_WITH_TIMEOUT(first.count(SnmpBytes::GetRequest) >= 1, Timeout);
    // Before the restart the rows show the task's initial spaces.
    QTRY_COMPARE_WITH_TIMEOUT(rowShown(0), QString(40, ' '), Timeout);

    // A dial change without a release must not reach the running task.
    connectTo(127, 0, 0, 1, second.port(), 500);
    QCOMPARE(commTask, task);
    QCOMPARE(hostOf(task), QString("127.0.0.1"));
    QCOMPARE(portOf(task), second.port());
    QCOMPARE(task->pollInterval.load(), 10);
    QTRY_VERIFY_WITH_TIMEOUT(second.count(SnmpBytes::GetRequest) >= 2, Timeout);
    // The stop blanked the screen with zero bytes: every row shows empty.
    for (int i = 0; i < 16; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(rowShown(i).isEmpty(), Timeout);
    QVERIFY(!task->stopRequested.load());
    QVERIFY(!task->restartRequested.load());
    QCOMPARE(task->pollInterval.load(), 10);
}

void TestMainWindow::startTwiceFollowsSecondTask()
{
    QPushButton *start = button("pushButton_start");
    QSignalSpy clicked(start, &QPushButton::clicked);
    QTest::mousePress(start, Qt::LeftButton);
    CommTask *firstTask = commTask;
    QVERIFY(firstTask); // on the press, before any release
    QTest::mouseRelease(start, Qt::LeftButton);
    QTest::mouseClick(start, Qt::LeftButton);
    CommTask *secondTask = commTask;
    QVERIFY(secondTask);
    QVERIFY(secondTask != firstTask);
    QCOMPARE(clicked.count(), 2);
    QVERIFY(firstTask->isRunning());
    QVERIFY(secondTask->isRunning());
    QVERIFY(hostOf(secondTask).isNull());
    QCOMPARE(portOf(secondTask), 0);

    // Connect now goes to the second task only; the first keeps its own (empty) address.
    ServerThread peer;
    peer.serveBlankDisplay();
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QCOMPARE(commTask, secondTask);
    QCOMPARE(portOf(secondTask), peer.port());
    QVERIFY(hostOf(firstTask).isNull());
    QTRY_VERIFY_WITH_TIMEOUT(peer.count(SnmpBytes::GetRequest) >= 1, Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(!secondTask->restartRequested.load(), Timeout);
    QVERIFY(firstTask->isRunning());

    // The display follows the second task.
    writeRow(secondTask, 0, "second task");
    QTRY_COMPARE_WITH_TIMEOUT(rowShown(0), QString("second task").leftJustified(40), Timeout);
}

void TestMainWindow::timerPlacesCursor_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QPointF>("position");

    QTest::newRow("row 3 column 10 at (75, 24)") << 3 << 10 << true << QPointF(75, 24);
    QTest::newRow("first character at (3, 0)") << 1 << 1 << true << QPointF(3, 0);
    QTest::newRow("last character at (315, 180)") << 16 << 40 << true << QPointF(315, 180);
    QTest::newRow("row 0 hides the mark") << 0 << 10 << false << QPointF();
    QTest::newRow("column 0 hides the mark") << 3 << 0 << false << QPointF();
}

void TestMainWindow::timerPlacesCursor()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(bool, shown);
    QFETCH(QPointF, position);

    ServerThread peer;
    peer.serveBlankDisplay();
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QVERIFY(commTask);
    // The peer's short blocks are never taken, so the task leaves the cursor fields to the test.
    commTask->cursorRow.store(5);
    commTask->cursorColumn.store(7);
    QTRY_COMPARE_WITH_TIMEOUT(cursor()->text(), QString("_"), Timeout);
    QCOMPARE(cursor()->pos(), QPointF(51, 48));

    commTask->cursorRow.store(row);
    commTask->cursorColumn.store(column);
    if (shown) {
        QTRY_COMPARE_WITH_TIMEOUT(cursor()->pos(), position, Timeout);
        QCOMPARE(cursor()->text(), QString("_"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(cursor()->text().isEmpty(), Timeout);
        QCOMPARE(cursor()->pos(), QPointF(51, 48)); // hidden where it was
    }
}

void TestMainWindow::timerCopiesRows()
{
    ServerThread peer;
    peer.serveBlankDisplay();
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QVERIFY(commTask);
    QTRY_COMPARE_WITH_TIMEOUT(rowShown(15), QString(40, ' '), Timeout);

    for (int i = 0; i < 16; ++i)
        writeRow(commTask, i, QByteArray("row ") + QByteArray::number(i));
    // Latin-1, and a zero byte ends the row early.
    writeRow(commTask, 4, QByteArray("caf\xe9 \xb0"));
    writeRow(commTask, 7, QByteArray("cut", 3) + QByteArray(1, '\0') + "hidden");
    QTRY_COMPARE_WITH_TIMEOUT(rowShown(0), QString("row 0").leftJustified(40), Timeout);
    for (int i = 0; i < 16; ++i) {
        QString expected = QString("row %1").arg(i).leftJustified(40);
        if (i == 4)
            expected = QString::fromUtf8("café °").leftJustified(40);
        if (i == 7)
            expected = QString("cut");
        QTRY_COMPARE_WITH_TIMEOUT(rowShown(i), expected, Timeout);
    }
}

void TestMainWindow::barShowsLatency()
{
    ServerThread peer;
    peer.serveBlankDisplay();
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QVERIFY(commTask);
    // Prompt answers: a small figure.
    QTRY_VERIFY_WITH_TIMEOUT(bar()->value() >= 3 && bar()->value() <= 99, Timeout);
    // No answers: the figure and the bar go to 100.
    peer.server().setBehaviour(ControllerServer::Behaviour::Silent);
    QTRY_COMPARE_WITH_TIMEOUT(bar()->value(), 100, Timeout);
    QCOMPARE(commTask->latency.load(), 100);
}

void TestMainWindow::transformFollowsViewSize()
{
    QGraphicsView *v = view();
    QTRY_COMPARE_WITH_TIMEOUT(v->transform().m11(), v->width() / 340.0, Timeout);
    QCOMPARE(v->transform().m22(), v->height() / 200.0);
    const int narrowWidth = v->width();
    const qreal narrowScale = v->transform().m11();

    window->resize(window->width() * 2, window->height() + 100);
    QTRY_VERIFY_WITH_TIMEOUT(v->width() > narrowWidth, Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(v->transform().m11(), v->width() / 340.0, Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(v->transform().m22(), v->height() / 200.0, Timeout);
    QVERIFY(v->transform().m11() > narrowScale * 1.5);
    // A pure scale, replaced each tick rather than compounded.
    QCOMPARE(v->transform().m12(), 0.0);
    QCOMPARE(v->transform().m21(), 0.0);
    QCOMPARE(v->transform().dx(), 0.0);
    QCOMPARE(v->transform().dy(), 0.0);
    QCOMPARE(v->transform().type(), QTransform::TxScale);
}

void TestMainWindow::dialReleaseSetsPollInterval()
{
    ServerThread peer;
    peer.serveBlankDisplay();
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QVERIFY(commTask);
    QDial *dial = window->findChild<QDial *>("dial");
    // Turned without a release (wheel, keyboard): the task keeps its interval.
    dial->setValue(300);
    QCOMPARE(commTask->pollInterval.load(), 10);
    // Dragged and let go.
    dial->setSliderDown(true);
    dial->setValue(450);
    dial->setSliderDown(false);
    QCOMPARE(commTask->pollInterval.load(), 450);
    QCOMPARE(window->findChild<QLabel *>("label_latency")->text(), QString("450"));
}

void TestMainWindow::closingJoinsEveryTask()
{
    // Counted on the tasks' own threads as they end.
    std::atomic<int> ended{0};
    auto countEnd = [&ended] { ended.fetch_add(1, std::memory_order_release); };
    ServerThread peer;
    peer.serveBlankDisplay();
    QTest::mouseClick(button("pushButton_start"), Qt::LeftButton);
    QVERIFY(commTask);
    connect(commTask, &QThread::finished, this, countEnd, Qt::DirectConnection);
    QTest::mouseClick(button("pushButton_start"), Qt::LeftButton);
    QVERIFY(commTask);
    connect(commTask, &QThread::finished, this, countEnd, Qt::DirectConnection);
    // The newest task is mid-cycle with a key waiting when the window goes.
    connectTo(127, 0, 0, 1, peer.port(), 10);
    QTRY_VERIFY_WITH_TIMEOUT(peer.count(SnmpBytes::GetRequest) >= 1, Timeout);
    QTest::mouseClick(button("pushButton_9"), Qt::LeftButton);
    QCOMPARE(ended.load(std::memory_order_acquire), 0);

    delete window;
    window = nullptr;
    // Both threads, also the one Start left behind, had finished before the window was gone.
    QCOMPARE(ended.load(std::memory_order_acquire), 2);
    QVERIFY(!commTask);
}

void TestMainWindow::namesItsDesktopEntryAndShowsItsIcon()
{
    // The name must be that of the desktop entry that is installed, and that entry's icon the
    // one the window shows.
    const QString id = QGuiApplication::desktopFileName();
    QVERIFY(!id.isEmpty());
    QFile entry(QStringLiteral(FRONTPANEL_PACKAGING_DIR "/%1.desktop").arg(id));
    QVERIFY2(entry.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(entry.fileName()));
    const QList<QByteArray> lines = entry.readAll().split('\n');
    QVERIFY(lines.contains("Icon=" + id.toLatin1()));

    const QIcon installed(QStringLiteral(FRONTPANEL_PACKAGING_DIR "/%1.svg").arg(id));
    const QImage expected = installed.pixmap(48, 48).toImage();
    QVERIFY(!expected.isNull());
    QCOMPARE(window->windowIcon().pixmap(48, 48).toImage(), expected);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
