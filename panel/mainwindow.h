// The front panel's one window: the controller's mirrored display, the delay bar, Connect, Start,
// the poll dial and the keypad.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QGraphicsSimpleTextItem>
#include <QList>
#include <QMainWindow>

#include <atomic>

class CommTask;
class MainWindowForm;
class QFont;
class QGraphicsScene;

// The link task the window, the keypad and Connect talk to: the newest one started, null until
// the first Connect or Start. Written and read on the main thread only.
extern CommTask *commTask;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The name of the desktop entry, the icon and the AppStream component.
    static const char AppId[];

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void timerEvent(QTimerEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    // The keypad: each stores its key's code into the current link task.
    void on_pushButton_np_clicked();
    void on_pushButton_status_clicked();
    void on_pushButton_help_clicked();
    void on_pushButton_down_clicked();
    void on_pushButton_right_clicked();
    void on_pushButton_enter_clicked();
    void on_pushButton_left_clicked();
    void on_pushButton_up_clicked();
    void on_pushButton_ns_clicked();
    void on_pushButton_nd_clicked();
    void on_pushButton_sm_clicked();
    void on_pushButton_c_clicked();
    void on_pushButton_sf_clicked();
    void on_pushButton_0_clicked();
    void on_pushButton_1_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_8_clicked();
    void on_pushButton_9_clicked();
    void on_pushButton_mm_clicked();
    // A new link task to the default controller on every press.
    void on_pushButton_start_pressed();
    // Connect: a new link task, or the running one pointed at the typed address and port.
    void on_commandLinkButton_clicked();
    // The poll interval reaches the task when the dial is let go.
    void on_dial_sliderReleased();

private:
    void storeKey(int code);
    void startTask(const QString &host, int port, int pollInterval);

    MainWindowForm *ui;
    QGraphicsScene *scene;
    QGraphicsSimpleTextItem *rowItems[16];
    QGraphicsSimpleTextItem cursorItem;
    QFont *screenFont;
    // Every task this window started, also those Start left behind: all are stopped and joined
    // when the window goes, so no thread outlives the objects it uses.
    QList<CommTask *> tasks;
    // Counted on each task's own thread as it ends, read after the join: QThread::wait()
    // synchronises inside Qt, where ThreadSanitizer cannot see it, and this makes the order of
    // a task's last writes before its deletion visible in our own code.
    std::atomic<int> finishedTasks{0};
    int refreshTimer;
};

#endif // MAINWINDOW_H
