// The front-panel form: the widget tree, its ranges, captions, shortcuts, focus and looks.
#include "commtask.h"
#include "keytable.h"
#include "mainwindowform.h"

#include <QCommandLinkButton>
#include <QDial>
#include <QGraphicsView>
#include <QGridLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void objectTree_data();
    void objectTree();
    void formMembersInCreationOrder();
    void gridCells_data();
    void gridCells();
    void rootMenuSpacer();
    void layoutSpacingAndMargins();
    void spinBoxRanges_data();
    void spinBoxRanges();
    void addressBoxesStartAtDefaultController();
    void dialRangeAndNoWrapping();
    void dialDrivesReadOut();
    void captions_data();
    void captions();
    void multiLineCaptionsTakeTwoLines();
    void shortcuts_data();
    void shortcuts();
    void shortcutClicksItsButton();
    void keypadSizesAndFonts_data();
    void keypadSizesAndFonts();
    void topRowLooks();
    void displayViewAndBar();
    void noKeypadButtonTakesFocus();
    void tabOrderOfDigits();
    void windowSizeTitleAndBars();
    void presetObjectNameKept();

private:
    QMainWindow *window = nullptr;
    MainWindowForm form;
};

void TestMainWindowForm::init()
{
    window = new QMainWindow;
    form = MainWindowForm();
    form.setup(window);
}

void TestMainWindowForm::cleanup()
{
    delete window;
    window = nullptr;
}

void TestMainWindowForm::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    QTest::newRow("centralWidget belongs to the window") << "centralWidget"
                                                         << "QWidget"
                                                         << "MainWindow";
    QTest::newRow("verticalLayout is installed on centralWidget") << "verticalLayout"
                                                                  << "QVBoxLayout"
                                                                  << "centralWidget";
    QTest::newRow("horizontalLayout is the top row") << "horizontalLayout"
                                                     << "QHBoxLayout"
                                                     << "verticalLayout";
    QTest::newRow("horizontalLayout_2 is the main row") << "horizontalLayout_2"
                                                        << "QHBoxLayout"
                                                        << "verticalLayout";
    QTest::newRow("verticalLayout_2 is the keypad column") << "verticalLayout_2"
                                                           << "QVBoxLayout"
                                                           << "horizontalLayout_2";
    QTest::newRow("rootMenuGrid in the keypad column") << "rootMenuGrid"
                                                       << "QGridLayout"
                                                       << "verticalLayout_2";
    QTest::newRow("navNumGrid in the keypad column") << "navNumGrid"
                                                     << "QGridLayout"
                                                     << "verticalLayout_2";
    QTest::newRow("specialKeyGrid in the keypad column") << "specialKeyGrid"
                                                         << "QGridLayout"
                                                         << "verticalLayout_2";

    const char *widgets[][2] = {
        {"label_2", "QLabel"},
        {"spinBox_1", "QSpinBox"},
        {"spinBox_2", "QSpinBox"},
        {"spinBox_3", "QSpinBox"},
        {"spinBox_4", "QSpinBox"},
        {"label", "QLabel"},
        {"spinBox_5", "QSpinBox"},
        {"commandLinkButton", "QCommandLinkButton"},
        {"label_latency", "QLabel"},
        {"dial", "QDial"},
        {"graphicsView", "QGraphicsView"},
        {"progressBar", "QProgressBar"},
    };
    for (const auto &w : widgets)
        QTest::addRow("%s is a %s child of centralWidget", w[0], w[1])
            << w[0] << w[1] << "centralWidget";
    const char *keys[] = {"mm",   "sm", "help", "status", "1",  "2",     "3",  "4",    "5",
                          "6",    "7",  "8",    "9",      "0",  "right", "up", "left", "enter",
                          "down", "sf", "c",    "start",  "np", "nd",    "ns"};
    for (const char *k : keys)
        QTest::addRow("pushButton_%s is a QPushButton child of centralWidget", k)
            << QString("pushButton_%1").arg(k) << "QPushButton"
            << "centralWidget";
}

void TestMainWindowForm::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);

    const QList<QObject *> found = window->findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QObject *object = found.first();
    QCOMPARE(QString(object->metaObject()->className()), className);
    QVERIFY(object->parent());
    QCOMPARE(object->parent()->objectName(), parentName);
}

// The record's members point at the objects that bear their names, in declaration order.
void TestMainWindowForm::formMembersInCreationOrder()
{
    const QList<QObject *> members = {
        form.centralWidget,
        form.verticalLayout,
        form.horizontalLayout,
        form.label_2,
        form.spinBox_1,
        form.spinBox_2,
        form.spinBox_3,
        form.spinBox_4,
        form.label,
        form.spinBox_5,
        form.commandLinkButton,
        form.label_latency,
        form.dial,
        form.horizontalLayout_2,
        form.graphicsView,
        form.verticalLayout_2,
        form.progressBar,
        form.rootMenuGrid,
        form.pushButton_mm,
        form.pushButton_sm,
        form.pushButton_help,
        form.pushButton_status,
        form.navNumGrid,
        form.pushButton_1,
        form.pushButton_2,
        form.pushButton_3,
        form.pushButton_4,
        form.pushButton_5,
        form.pushButton_6,
        form.pushButton_7,
        form.pushButton_8,
        form.pushButton_9,
        form.pushButton_0,
        form.pushButton_right,
        form.pushButton_up,
        form.pushButton_left,
        form.pushButton_enter,
        form.pushButton_down,
        form.specialKeyGrid,
        form.pushButton_sf,
        form.pushButton_c,
        form.pushButton_start,
        form.pushButton_np,
        form.pushButton_nd,
        form.pushButton_ns,
    };
    const QStringList names = {
        "centralWidget",
        "verticalLayout",
        "horizontalLayout",
        "label_2",
        "spinBox_1",
        "spinBox_2",
        "spinBox_3",
        "spinBox_4",
        "label",
        "spinBox_5",
        "commandLinkButton",
        "label_latency",
        "dial",
        "horizontalLayout_2",
        "graphicsView",
        "verticalLayout_2",
        "progressBar",
        "rootMenuGrid",
        "pushButton_mm",
        "pushButton_sm",
        "pushButton_help",
        "pushButton_status",
        "navNumGrid",
        "pushButton_1",
        "pushButton_2",
        "pushButton_3",
        "pushButton_4",
        "pushButton_5",
        "pushButton_6",
        "pushButton_7",
        "pushButton_8",
        "pushButton_9",
        "pushButton_0",
        "pushButton_right",
        "pushButton_up",
        "pushButton_left",
        "pushButton_enter",
        "pushButton_down",
        "specialKeyGrid",
        "pushButton_sf",
        "pushButton_c",
        "pushButton_start",
        "pushButton_np",
        "pushButton_nd",
        "pushButton_ns",
    };
    QCOMPARE(members.size(), names.size());
    for (int i = 0; i < members.size(); ++i) {
        QVERIFY2(members[i], qPrintable(names[i]));
        QCOMPARE(members[i]->objectName(), names[i]);
        QCOMPARE(window->findChild<QObject *>(names[i]), members[i]);
    }
    QVERIFY(form.rootMenuSpacer);
    QCOMPARE(window->centralWidget(), form.centralWidget);
    // Widgets are created in the record's order, so their order among centralWidget's children
    // follows it as well.
    const QObjectList children = form.centralWidget->children();
    QVERIFY(children.indexOf(form.label_2) < children.indexOf(form.spinBox_1));
    QVERIFY(children.indexOf(form.dial) < children.indexOf(form.graphicsView));
    QVERIFY(children.indexOf(form.pushButton_status) < children.indexOf(form.pushButton_1));
    QVERIFY(children.indexOf(form.pushButton_down) < children.indexOf(form.pushButton_sf));
}

void TestMainWindowForm::gridCells_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("grid");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    const struct
    {
        const char *button;
        const char *grid;
        int row, column;
    } cells[] = {
        {"pushButton_mm", "rootMenuGrid", 0, 3},   {"pushButton_sm", "rootMenuGrid", 0, 4},
        {"pushButton_help", "rootMenuGrid", 0, 0}, {"pushButton_status", "rootMenuGrid", 0, 1},
        {"pushButton_1", "navNumGrid", 1, 4},      {"pushButton_2", "navNumGrid", 1, 5},
        {"pushButton_3", "navNumGrid", 1, 6},      {"pushButton_4", "navNumGrid", 2, 4},
        {"pushButton_5", "navNumGrid", 2, 5},      {"pushButton_6", "navNumGrid", 2, 6},
        {"pushButton_7", "navNumGrid", 4, 4},      {"pushButton_8", "navNumGrid", 4, 5},
        {"pushButton_9", "navNumGrid", 4, 6},      {"pushButton_0", "navNumGrid", 5, 5},
        {"pushButton_right", "navNumGrid", 2, 2},  {"pushButton_up", "navNumGrid", 1, 1},
        {"pushButton_left", "navNumGrid", 2, 0},   {"pushButton_enter", "navNumGrid", 2, 1},
        {"pushButton_down", "navNumGrid", 4, 1},   {"pushButton_sf", "specialKeyGrid", 0, 0},
        {"pushButton_c", "specialKeyGrid", 0, 1},  {"pushButton_start", "specialKeyGrid", 0, 2},
        {"pushButton_np", "specialKeyGrid", 1, 0}, {"pushButton_nd", "specialKeyGrid", 1, 1},
        {"pushButton_ns", "specialKeyGrid", 1, 2},
    };
    for (const auto &c : cells)
        QTest::addRow("%s at %s row %d column %d", c.button, c.grid, c.row, c.column)
            << c.button << c.grid << c.row << c.column;
}

void TestMainWindowForm::gridCells()
{
    QFETCH(QString, button);
    QFETCH(QString, grid);
    QFETCH(int, row);
    QFETCH(int, column);

    auto *widget = window->findChild<QPushButton *>(button);
    auto *layout = window->findChild<QGridLayout *>(grid);
    QVERIFY(widget && layout);
    const int index = layout->indexOf(widget);
    QVERIFY(index >= 0);
    int r = -1, c = -1, rowSpan = -1, columnSpan = -1;
    layout->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rowSpan, 1);
    QCOMPARE(columnSpan, 1);
    QCOMPARE(layout->itemAt(index)->alignment(), Qt::Alignment());
}

// The browser front panel draws its keypad from the shared key table: it must be the form's.
void TestMainWindowForm::rootMenuSpacer()
{
    QLayoutItem *item = form.rootMenuGrid->itemAtPosition(0, 2);
    QVERIFY(item);
    QCOMPARE(item->spacerItem(), form.rootMenuSpacer);
    QCOMPARE(form.rootMenuSpacer->sizeHint(), QSize(7, 20));
    QCOMPARE(form.rootMenuSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(form.rootMenuSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    // Rows 0 and 3 and column 3 of the digit grid stay empty: the arrows stand apart.
    for (int column = 0; column < 7; ++column) {
        QVERIFY(!form.navNumGrid->itemAtPosition(0, column));
        QVERIFY(!form.navNumGrid->itemAtPosition(3, column));
    }
    for (int row = 0; row < 6; ++row)
        QVERIFY(!form.navNumGrid->itemAtPosition(row, 3));
}

void TestMainWindowForm::layoutSpacingAndMargins()
{
    QCOMPARE(form.verticalLayout->spacing(), 6);
    QCOMPARE(form.verticalLayout->contentsMargins(), QMargins(11, 11, 11, 11));
    // -1 sides of a nested layout come out as 0.
    QCOMPARE(form.horizontalLayout->spacing(), 6);
    QCOMPARE(form.horizontalLayout->contentsMargins(), QMargins(7, 0, 0, 0));
    QCOMPARE(form.horizontalLayout_2->spacing(), 6);
    QCOMPARE(form.verticalLayout_2->spacing(), 6);
    QCOMPARE(form.rootMenuGrid->horizontalSpacing(), 6);
    QCOMPARE(form.rootMenuGrid->verticalSpacing(), 0);
    QCOMPARE(form.rootMenuGrid->sizeConstraint(), QLayout::SetMinimumSize);
    QCOMPARE(form.rootMenuGrid->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(form.navNumGrid->spacing(), 6);
    QCOMPARE(form.navNumGrid->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(form.specialKeyGrid->spacing(), 6);

    // Order inside the layouts: top row over main row; display left of the keypad column.
    QCOMPARE(form.verticalLayout->indexOf(form.horizontalLayout), 0);
    QCOMPARE(form.verticalLayout->indexOf(form.horizontalLayout_2), 1);
    const QList<QWidget *> topRow = {
        form.label_2, form.spinBox_1, form.spinBox_2,         form.spinBox_3,     form.spinBox_4,
        form.label,   form.spinBox_5, form.commandLinkButton, form.label_latency, form.dial};
    QCOMPARE(form.horizontalLayout->count(), topRow.size());
    for (int i = 0; i < topRow.size(); ++i)
        QCOMPARE(form.horizontalLayout->indexOf(topRow[i]), i);
    QCOMPARE(form.horizontalLayout_2->indexOf(form.graphicsView), 0);
    QCOMPARE(form.horizontalLayout_2->indexOf(form.verticalLayout_2), 1);
    QCOMPARE(form.verticalLayout_2->indexOf(form.progressBar), 0);
    QCOMPARE(form.verticalLayout_2->indexOf(form.rootMenuGrid), 1);
    QCOMPARE(form.verticalLayout_2->indexOf(form.navNumGrid), 2);
    QCOMPARE(form.verticalLayout_2->indexOf(form.specialKeyGrid), 3);
}

void TestMainWindowForm::spinBoxRanges_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");

    QTest::newRow("first octet 1..255") << "spinBox_1" << 1 << 255;
    QTest::newRow("second octet 0..255") << "spinBox_2" << 0 << 255;
    QTest::newRow("third octet 0..255") << "spinBox_3" << 0 << 255;
    QTest::newRow("fourth octet 1..255") << "spinBox_4" << 1 << 255;
    QTest::newRow("port 13..65535") << "spinBox_5" << 13 << 65535;
}

void TestMainWindowForm::spinBoxRanges()
{
    QFETCH(QString, box);
    QFETCH(int, minimum);
    QFETCH(int, maximum);

    auto *spin = window->findChild<QSpinBox *>(box);
    QVERIFY(spin);
    QCOMPARE(spin->minimum(), minimum);
    QCOMPARE(spin->maximum(), maximum);
    spin->setValue(minimum - 1);
    QCOMPARE(spin->value(), minimum);
    spin->setValue(maximum + 1);
    QCOMPARE(spin->value(), maximum);
    spin->stepBy(5);
    QCOMPARE(spin->value(), maximum);

    // Typed text is clamped too: what a user types beyond the range is not accepted.
    window->show();
    spin->setValue(minimum);
    spin->selectAll();
    QTest::keyClicks(spin, QString::number(maximum) + "9");
    QVERIFY(spin->value() <= maximum);
    QVERIFY(spin->value() >= minimum);
}

void TestMainWindowForm::addressBoxesStartAtDefaultController()
{
    const QString typed = QString("%1.%2.%3.%4")
                              .arg(form.spinBox_1->value())
                              .arg(form.spinBox_2->value())
                              .arg(form.spinBox_3->value())
                              .arg(form.spinBox_4->value());
    QCOMPARE(typed, QString::fromLatin1(CommTask::DefaultHost));
    QCOMPARE(form.spinBox_5->value(), CommTask::DefaultPort);
}

void TestMainWindowForm::dialRangeAndNoWrapping()
{
    QDial *dial = form.dial;
    QCOMPARE(dial->minimum(), 10);
    QCOMPARE(dial->maximum(), 1000);
    QCOMPARE(dial->singleStep(), 10);
    QCOMPARE(dial->pageStep(), 50);
    QCOMPARE(dial->value(), 100);
    QVERIFY(!dial->wrapping());
    QVERIFY(dial->notchesVisible());
    QCOMPARE(dial->cursor().shape(), Qt::ArrowCursor);

    dial->setValue(1000);
    dial->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(dial->value(), 1000);
    dial->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QCOMPARE(dial->value(), 1000);
    dial->setValue(10);
    dial->triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(dial->value(), 10);
    dial->setValue(5);
    QCOMPARE(dial->value(), 10);
    dial->setValue(1005);
    QCOMPARE(dial->value(), 1000);
}

void TestMainWindowForm::dialDrivesReadOut()
{
    QCOMPARE(form.label_latency->text(), QString("100"));
    form.dial->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(form.label_latency->text(), QString("110"));

    // By keyboard, too.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    form.dial->setFocus();
    QTest::keyClick(form.dial, Qt::Key_Up);
    QCOMPARE(form.dial->value(), 120);
    QCOMPARE(form.label_latency->text(), QString("120"));
    QTest::keyClick(form.dial, Qt::Key_PageDown);
    QCOMPARE(form.label_latency->text(), QString("70"));
}

void TestMainWindowForm::captions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");

    QTest::newRow("address caption") << "label_2"
                                     << "IP Address";
    QTest::newRow("port caption opens with five spaces") << "label"
                                                         << "     Port";
    QTest::newRow("Connect") << "commandLinkButton"
                             << "Connect";
    QTest::newRow("dial read-out starts at 100") << "label_latency"
                                                 << "100";
    QTest::newRow("Main Menu on two lines") << "pushButton_mm"
                                            << "Main\nMenu";
    QTest::newRow("Sub Menu keeps its space before the line feed") << "pushButton_sm"
                                                                   << "Sub \nMenu";
    QTest::newRow("Help") << "pushButton_help"
                          << "Help";
    QTest::newRow("Status") << "pushButton_status"
                            << "Status";
    for (int digit = 0; digit <= 9; ++digit)
        QTest::addRow("digit %d", digit)
            << QString("pushButton_%1").arg(digit) << QString::number(digit);
    QTest::newRow("right arrow") << "pushButton_right"
                                 << ">";
    QTest::newRow("up arrow") << "pushButton_up"
                              << "^";
    QTest::newRow("left arrow") << "pushButton_left"
                                << "<";
    QTest::newRow("Enter") << "pushButton_enter"
                           << "E";
    QTest::newRow("down arrow") << "pushButton_down"
                                << "V";
    QTest::newRow("Spec Func on two lines") << "pushButton_sf"
                                            << "Spec\nFunc";
    QTest::newRow("Clr") << "pushButton_c"
                         << "Clr";
    QTest::newRow("Start") << "pushButton_start"
                           << "Start";
    QTest::newRow("Next Page on two lines") << "pushButton_np"
                                            << "Next\nPage";
    QTest::newRow("Next Data on two lines") << "pushButton_nd"
                                            << "Next\nData";
    QTest::newRow("Next Scrn on two lines") << "pushButton_ns"
                                            << "Next\nScrn";
}

void TestMainWindowForm::captions()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);

    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QString text = widget->property("text").toString();
    QCOMPARE(text, caption);
    QVERIFY(widget->toolTip().isEmpty());
    QVERIFY(widget->statusTip().isEmpty());
    QVERIFY(widget->whatsThis().isEmpty());
}

// A caption with a line feed is drawn on two lines, so it asks for more height than one line.
void TestMainWindowForm::multiLineCaptionsTakeTwoLines()
{
    const QFontMetrics metrics(form.pushButton_np->font());
    const QRect bounds = metrics.boundingRect(QRect(), Qt::AlignCenter, form.pushButton_np->text());
    QVERIFY(bounds.height() >= 2 * metrics.height() - 1);
    QVERIFY(form.pushButton_np->sizeHint().height() > QPushButton("Clr").sizeHint().height());
}

void TestMainWindowForm::shortcuts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QKeySequence>("shortcut");

    const char *none[] = {"sm",   "help", "status", "right", "up", "left", "enter",
                          "down", "sf",   "c",      "start", "np", "nd",   "ns"};
    QTest::newRow("Main Menu has M") << "pushButton_mm" << QKeySequence(Qt::Key_M);
    for (int digit = 0; digit <= 9; ++digit)
        QTest::addRow("digit %d has its digit", digit)
            << QString("pushButton_%1").arg(digit) << QKeySequence(Qt::Key_0 + digit);
    for (const char *k : none)
        QTest::addRow("pushButton_%s has none", k)
            << QString("pushButton_%1").arg(k) << QKeySequence();
}

void TestMainWindowForm::shortcuts()
{
    QFETCH(QString, name);
    QFETCH(QKeySequence, shortcut);

    auto *button = window->findChild<QPushButton *>(name);
    QVERIFY(button);
    QCOMPARE(button->shortcut(), shortcut);
}

void TestMainWindowForm::shortcutClicksItsButton()
{
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QSignalSpy seven(form.pushButton_7, &QPushButton::clicked);
    QSignalSpy mainMenu(form.pushButton_mm, &QPushButton::clicked);
    QSignalSpy enter(form.pushButton_enter, &QPushButton::clicked);
    QTest::keyClick(window, Qt::Key_7);
    QTest::keyClick(window, Qt::Key_M);
    QTest::keyClick(window, Qt::Key_Return);
    // A shortcut animates the click: the button shows pressed and clicks a moment later.
    QTRY_COMPARE_WITH_TIMEOUT(seven.count(), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(mainMenu.count(), 1, 5000);
    QCOMPARE(enter.count(), 0);
}

void TestMainWindowForm::keypadSizesAndFonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("maximum");
    QTest::addColumn<int>("pointSize"); // -1: the application font's size

    const int defaultSize = QFont().pointSize();
    for (const char *k : {"mm", "sm", "help", "status"})
        QTest::addRow("root-menu key %s", k)
            << QString("pushButton_%1").arg(k) << QSize(35, 20) << QSize(61, 50) << 9;
    for (int digit = 0; digit <= 9; ++digit)
        QTest::addRow("digit key %d", digit)
            << QString("pushButton_%1").arg(digit) << QSize(35, 40) << QSize(37, 40) << 16;
    for (const char *k : {"right", "up", "left"})
        QTest::addRow("arrow key %s", k)
            << QString("pushButton_%1").arg(k) << QSize(35, 40) << QSize(37, 40) << 12;
    QTest::newRow("Enter key") << "pushButton_enter" << QSize(35, 40) << QSize(37, 40) << 11;
    QTest::newRow("down key is smaller")
        << "pushButton_down" << QSize(35, 40) << QSize(37, 40) << 8;
    for (const char *k : {"sf", "c", "start"})
        QTest::addRow("special key %s keeps the default size", k)
            << QString("pushButton_%1").arg(k) << QSize(25, 20) << QSize(37, 50) << defaultSize;
    for (const char *k : {"np", "nd", "ns"})
        QTest::addRow("next key %s", k)
            << QString("pushButton_%1").arg(k) << QSize(25, 20) << QSize(37, 50) << 10;
}

void TestMainWindowForm::keypadSizesAndFonts()
{
    QFETCH(QString, name);
    QFETCH(QSize, minimum);
    QFETCH(QSize, maximum);
    QFETCH(int, pointSize);

    auto *button = window->findChild<QPushButton *>(name);
    QVERIFY(button);
    QCOMPARE(button->minimumSize(), minimum);
    QCOMPARE(button->maximumSize(), maximum);
    QCOMPARE(button->baseSize(), QSize(30, 0));
    QCOMPARE(button->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(button->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(button->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(button->font().family(), QString("Segoe UI"));
    QCOMPARE(button->font().pointSize(), pointSize);
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
}

void TestMainWindowForm::topRowLooks()
{
    QCOMPARE(form.label_2->font().family(), QString("Segoe UI"));
    QCOMPARE(form.label_2->font().pointSize(), 12);
    QCOMPARE(form.label_2->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(form.label->font().pointSize(), 12);
    QCOMPARE(form.label->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    for (QSpinBox *box :
         {form.spinBox_1, form.spinBox_2, form.spinBox_3, form.spinBox_4, form.spinBox_5}) {
        QCOMPARE(box->minimumSize(), QSize(0, 44));
        QCOMPARE(box->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(box->sizePolicy().verticalPolicy(), QSizePolicy::Maximum);
        QCOMPARE(box->font().pointSize(), 16);
        QCOMPARE(box->font().family(), QFont().family());
    }
    QCOMPARE(form.spinBox_5->value(), 501);
    QCOMPARE(form.commandLinkButton->maximumSize(), QSize(140, 16777215));
    QCOMPARE(form.commandLinkButton->font().family(), QString("Segoe UI"));
    QCOMPARE(form.commandLinkButton->font().pointSize(), 13);
    QCOMPARE(form.label_latency->maximumSize(), QSize(60, 60));
    QCOMPARE(form.label_latency->font().pointSize(), 14);
    QVERIFY(!form.label_latency->font().bold());
    QCOMPARE(form.label_latency->font().weight(), QFont::Normal);
    QCOMPARE(form.label_latency->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(form.label_latency->margin(), 2);
    QCOMPARE(form.dial->maximumSize(), QSize(50, 50));
}

void TestMainWindowForm::displayViewAndBar()
{
    QGraphicsView *view = form.graphicsView;
    QCOMPARE(view->font().family(), QString("Courier"));
    QVERIFY(!view->acceptDrops());
    QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(!view->isInteractive());
    QCOMPARE(view->alignment(), Qt::AlignLeft | Qt::AlignTop);

    QProgressBar *bar = form.progressBar;
    QCOMPARE(bar->minimumSize(), QSize(12, 0));
    QCOMPARE(bar->maximumSize(), QSize(300, 13));
    QCOMPARE(bar->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(bar->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(bar->font().pointSize(), 10);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(bar->format(), QString("%v"));
}

void TestMainWindowForm::noKeypadButtonTakesFocus()
{
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QList<QPushButton *> buttons = form.centralWidget->findChildren<QPushButton *>();
    buttons.removeOne(form.commandLinkButton);
    QCOMPARE(buttons.size(), 25);
    QCOMPARE(window->focusPolicy(), Qt::NoFocus);

    for (QPushButton *button : buttons) {
        QCOMPARE(button->focusPolicy(), Qt::NoFocus);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY2(QApplication::focusWidget() != button, qPrintable(button->objectName()));
    }
    // Tab walks the focusable widgets round more than once and never lands on a key.
    form.spinBox_1->setFocus();
    for (int i = 0; i < 30; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        QVERIFY2(!qobject_cast<QPushButton *>(focused) ||
                     qobject_cast<QCommandLinkButton *>(focused),
                 qPrintable(focused->objectName()));
        QVERIFY(focused != window);
    }
}

void TestMainWindowForm::tabOrderOfDigits()
{
    QWidget *chain[] = {form.pushButton_1, form.pushButton_2, form.pushButton_3, form.pushButton_4,
                        form.pushButton_5, form.pushButton_6, form.pushButton_7, form.pushButton_8,
                        form.pushButton_9, form.pushButton_0};
    for (int i = 0; i + 1 < 10; ++i)
        QCOMPARE(chain[i]->nextInFocusChain(), chain[i + 1]);
}

void TestMainWindowForm::windowSizeTitleAndBars()
{
    QCOMPARE(window->size(), QSize(800, 480));
    QCOMPARE(window->windowTitle(), QString("MainWindow"));
    QCOMPARE(window->objectName(), QString("MainWindow"));
    QCOMPARE(window->windowOpacity(), 1.0);
    QCOMPARE(window->minimumSize(), QSize(0, 0));
    QCOMPARE(window->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    QVERIFY(!window->menuWidget());
    QVERIFY(!window->findChild<QMenuBar *>());
    QVERIFY(!window->findChild<QToolBar *>());
    QVERIFY(!window->findChild<QStatusBar *>());
    QVERIFY(!form.centralWidget->autoFillBackground());
}

void TestMainWindowForm::presetObjectNameKept()
{
    QMainWindow preset;
    preset.setObjectName("frontPanel");
    MainWindowForm other;
    other.setup(&preset);
    QCOMPARE(preset.objectName(), QString("frontPanel"));
    QCOMPARE(other.centralWidget->parent(), &preset);
}

QTEST_MAIN(TestMainWindowForm)
#include "tst_mainwindowform.moc"
