// The front panel's widgets: one record of non-owning pointers, one per widget or layout, each
// named after the object it points to. The widgets belong to Qt's parent-child tree; deleting
// this record destroys nothing.
#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

class QCommandLinkButton;
class QDial;
class QGraphicsView;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QSpinBox;
class QVBoxLayout;
class QWidget;

class MainWindowForm
{
public:
    // Builds the whole widget tree into the window, captions it and connects the window's
    // on_<object>_<signal> slots by name. Called once, before the window touches any widget.
    void setup(QMainWindow *window);
    // Title, captions, shortcuts and what's-this help, all through the translator.
    void applyTexts(QMainWindow *window);

    QWidget *centralWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QLabel *label_2 = nullptr;
    QSpinBox *spinBox_1 = nullptr;
    QSpinBox *spinBox_2 = nullptr;
    QSpinBox *spinBox_3 = nullptr;
    QSpinBox *spinBox_4 = nullptr;
    QLabel *label = nullptr;
    QSpinBox *spinBox_5 = nullptr;
    QCommandLinkButton *commandLinkButton = nullptr;
    QLabel *label_latency = nullptr;
    QDial *dial = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QGraphicsView *graphicsView = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    QProgressBar *progressBar = nullptr;
    QGridLayout *rootMenuGrid = nullptr;
    QPushButton *pushButton_mm = nullptr;
    QPushButton *pushButton_sm = nullptr;
    QPushButton *pushButton_help = nullptr;
    QPushButton *pushButton_status = nullptr;
    QSpacerItem *rootMenuSpacer = nullptr;
    QGridLayout *navNumGrid = nullptr;
    QPushButton *pushButton_1 = nullptr;
    QPushButton *pushButton_2 = nullptr;
    QPushButton *pushButton_3 = nullptr;
    QPushButton *pushButton_4 = nullptr;
    QPushButton *pushButton_5 = nullptr;
    QPushButton *pushButton_6 = nullptr;
    QPushButton *pushButton_7 = nullptr;
    QPushButton *pushButton_8 = nullptr;
    QPushButton *pushButton_9 = nullptr;
    QPushButton *pushButton_0 = nullptr;
    QPushButton *pushButton_right = nullptr;
    QPushButton *pushButton_up = nullptr;
    QPushButton *pushButton_left = nullptr;
    QPushButton *pushButton_enter = nullptr;
    QPushButton *pushButton_down = nullptr;
    QGridLayout *specialKeyGrid = nullptr;
    QPushButton *pushButton_sf = nullptr;
    QPushButton *pushButton_c = nullptr;
    QPushButton *pushButton_start = nullptr;
    QPushButton *pushButton_np = nullptr;
    QPushButton *pushButton_nd = nullptr;
    QPushButton *pushButton_ns = nullptr;

private:
    void addKeys(QGridLayout *MainWindowForm::*grid);
};

#endif // MAINWINDOWFORM_H
