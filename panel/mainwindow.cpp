#include "mainwindow.h"

#include "commtask.h"
#include "mainwindowform.h"

#include <QDial>
#include <QFont>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QGuiApplication>
#include <QIcon>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimerEvent>
#include <QTransform>

#include <mutex>
#include <utility>

CommTask *commTask = nullptr;

namespace {
// The display in scene units: a character is 8 wide, a row 12 high, rows start at x = 3; the
// view shows 340 x 200 units from the origin, so the 40 x 16 characters fill it with a margin.
constexpr qreal ViewWidth = 340.0;
constexpr qreal ViewHeight = 200.0;
constexpr int CharWidth = 8;
constexpr int RowHeight = 12;
constexpr int RowX = 3;
constexpr int RefreshMs = 100;
} // namespace

const char MainWindow::AppId[] = "org.frontpanel.FrontPanel";

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new MainWindowForm), scene(nullptr), rowItems{}, cursorItem(nullptr),
      screenFont(nullptr), refreshTimer(0)
{
    ui->setup(this);

    // Named before the window is first shown: a Wayland shell reads the name then, and matches
    // the window to the desktop entry of that name and to its icon. X11 takes the icon itself.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(AppId));
    setWindowIcon(QIcon(QStringLiteral(":/%1.svg").arg(QString::fromLatin1(AppId))));

    scene = new QGraphicsScene(0, 0, 20, 20);
    screenFont = new QFont(QStringLiteral("Courier"), 10);
    screenFont->setStyleHint(QFont::TypeWriter, QFont::PreferDefault);
    // Whole-pixel advances, as Windows gives Courier: 10 pt is 13 px, and unhinted metrics of a
    // Courier-like face make that 7.8 px a character, which puts the cursor mark most of a
    // character off by column 40. Hinted, a character is the 8 units the cursor math assumes.
    screenFont->setHintingPreference(QFont::PreferFullHinting);

    // Added first, so the cursor mark lies below the rows.
    cursorItem.setFont(*screenFont);
    cursorItem.setPos(1, 1);
    scene->addItem(&cursorItem);

    for (int i = 0; i < 16; ++i) {
        rowItems[i] = new QGraphicsSimpleTextItem();
        rowItems[i]->setFont(*screenFont);
        rowItems[i]->setY(RowHeight * i);
        rowItems[i]->setX(RowX);
        scene->addItem(rowItems[i]);
    }
    ui->graphicsView->setScene(scene);

    refreshTimer = startTimer(RefreshMs);
}

MainWindow::~MainWindow()
{
    killTimer(refreshTimer);
    // Ask every task first so they wind down together, then join each one.
    for (CommTask *task : std::as_const(tasks))
        task->requestQuit();
    for (CommTask *task : std::as_const(tasks)) {
        task->wait();
        finishedTasks.load(std::memory_order_acquire);
        if (commTask == task)
            commTask = nullptr;
        delete task;
    }
    // The cursor item is a member: it must leave the scene before the scene deletes its items.
    scene->removeItem(&cursorItem);
    ui->graphicsView->setScene(nullptr);
    delete scene;
    delete screenFont;
    delete ui;
}

void MainWindow::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != refreshTimer) {
        QMainWindow::timerEvent(event);
        return;
    }
    QGraphicsView *view = ui->graphicsView;
    view->setTransform(
        QTransform::fromScale(view->width() / ViewWidth, view->height() / ViewHeight));
    if (!commTask)
        return;

    // Each row is 40 Latin-1 characters; a zero byte ends it early (a stopped link shows none).
    for (int i = 0; i < 16; ++i)
        rowItems[i]->setText(QString::fromLatin1(commTask->rowText(i)));

    const int row = commTask->cursorRow.load();
    const int column = commTask->cursorColumn.load();
    if (row != 0 && column != 0) {
        // Row and column count from 1; this puts the underscore under that character.
        cursorItem.setText(QStringLiteral("_"));
        cursorItem.setPos(CharWidth * column - 5, RowHeight * row - RowHeight);
    } else {
        cursorItem.setText(QString());
    }
    ui->progressBar->setValue(commTask->latency.load());
}

void MainWindow::startTask(const QString &host, int port, int pollInterval)
{
    auto *task = new CommTask;
    {
        std::lock_guard<std::mutex> locker(task->addressLock);
        task->port = port;
        task->host = host;
    }
    task->pollInterval.store(pollInterval);
    connect(
        task, &QThread::finished, this,
        [this] { finishedTasks.fetch_add(1, std::memory_order_release); }, Qt::DirectConnection);
    tasks.append(task);
    commTask = task;
    task->start(QThread::InheritPriority);
}

void MainWindow::on_pushButton_start_pressed()
{
    // No address, port or interval: the task goes to its default controller every 100 ms. An
    // earlier task keeps running; from now on everything addresses the new one.
    startTask(QString(), 0, 0);
}

void MainWindow::on_commandLinkButton_clicked()
{
    const int port = ui->spinBox_5->value();
    const int pollInterval = ui->dial->value();
    // Keys typed from now on reach keyPressEvent.
    setFocus(Qt::OtherFocusReason);
    const QString host =
        QString::asprintf("%d.%d.%d.%d", ui->spinBox_1->value(), ui->spinBox_2->value(),
                          ui->spinBox_3->value(), ui->spinBox_4->value());
    if (!commTask) {
        startTask(host, port, pollInterval);
        return;
    }
    // The task drops its link on stopRequested and reads host and port only after it has seen
    // restartRequested; the lock covers a second Connect racing the task's read of the first.
    // The running task keeps its poll interval.
    commTask->stopRequested.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> locker(commTask->addressLock);
        commTask->port = port;
        commTask->host = host;
    }
    commTask->restartRequested.store(true, std::memory_order_release);
}

void MainWindow::on_dial_sliderReleased()
{
    // Let go with the mouse, the dial gives the keyboard back to the window, so the next arrow
    // reaches the controller instead of turning the dial. Keys never release the dial, so a
    // dial reached by Tab keeps the focus and turns with the arrows.
    setFocus(Qt::OtherFocusReason);
    if (commTask)
        commTask->pollInterval.store(ui->dial->value());
}
