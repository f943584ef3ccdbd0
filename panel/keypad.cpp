// The keypad: the controller's front-panel keys as one-byte codes, from the on-screen buttons and
// from the workstation keyboard.
#include "mainwindow.h"

#include "commtask.h"
#include "keytable.h"
#include "mainwindowform.h"

#include <QCommandLinkButton>
#include <QKeyEvent>

// The codes and the keyboard map are the shared key table's, which the browser front panel uses
// too.
using namespace KeyTable;

void MainWindow::storeKey(int code)
{
    // Without a link task a press is dropped, not kept for later.
    if (commTask)
        commTask->pendingKey.store(static_cast<uint8_t>(code));
}

// One line per key: the codes are named above.
// clang-format off
void MainWindow::on_pushButton_np_clicked() { storeKey(NextPage); }
void MainWindow::on_pushButton_status_clicked() { storeKey(Status); }
void MainWindow::on_pushButton_help_clicked() { storeKey(Help); }
void MainWindow::on_pushButton_down_clicked() { storeKey(Down); }
void MainWindow::on_pushButton_right_clicked() { storeKey(Right); }
void MainWindow::on_pushButton_enter_clicked() { storeKey(Enter); }
void MainWindow::on_pushButton_left_clicked() { storeKey(Left); }
void MainWindow::on_pushButton_up_clicked() { storeKey(Up); }
void MainWindow::on_pushButton_ns_clicked() { storeKey(NextScreen); }
void MainWindow::on_pushButton_nd_clicked() { storeKey(NextData); }
void MainWindow::on_pushButton_sm_clicked() { storeKey(SubMenu); }
void MainWindow::on_pushButton_c_clicked() { storeKey(Clear); }
void MainWindow::on_pushButton_sf_clicked() { storeKey(SpecFunc); }
void MainWindow::on_pushButton_0_clicked() { storeKey(Key0); }
void MainWindow::on_pushButton_1_clicked() { storeKey(Key1); }
void MainWindow::on_pushButton_2_clicked() { storeKey(Key2); }
void MainWindow::on_pushButton_3_clicked() { storeKey(Key3); }
void MainWindow::on_pushButton_4_clicked() { storeKey(Key4); }
void MainWindow::on_pushButton_5_clicked() { storeKey(Key5); }
void MainWindow::on_pushButton_6_clicked() { storeKey(Key6); }
void MainWindow::on_pushButton_7_clicked() { storeKey(Key7); }
void MainWindow::on_pushButton_8_clicked() { storeKey(Key8); }
void MainWindow::on_pushButton_9_clicked() { storeKey(Key9); }
void MainWindow::on_pushButton_mm_clicked() { storeKey(MainMenu); }
// clang-format on

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Only the key code counts: modifiers and text are ignored, so letters match in either case.
    const int key = event->key();
    if (ui->commandLinkButton->hasFocus() && (key == Qt::Key_Return || key == Qt::Key_Enter))
        on_commandLinkButton_clicked(); // may create the task the key below goes to
    if (!commTask)
        return;
    for (const KeyboardKey &entry : keyboardKeys) {
        if (entry.qtKey == key) {
            storeKey(entry.code);
            return;
        }
    }
    // Unmapped keys end here too: they are not passed on to the base class.
}
