#include "mainwindowform.h"

#include <QCommandLinkButton>
#include <QCoreApplication>
#include <QCursor>
#include <QDial>
#include <QFont>
#include <QGraphicsView>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// The 25 keypad buttons in order of creation, which is also the order their texts are applied.
// Buttons of one grid follow each other, so each grid is filled by one pass over the table.
struct KeyButton
{
    QPushButton *MainWindowForm::*member;
    const char *name;
    QGridLayout *MainWindowForm::*grid;
    int row;
    int column;
    QSize minimum;
    QSize maximum;
    int pointSize; // 0 leaves the size of the application font
    const char *caption;
    const char *shortcut; // null: no keyboard shortcut
};

using F = MainWindowForm;
constexpr QSize RootMin(35, 20), RootMax(61, 50);
constexpr QSize PadMin(35, 40), PadMax(37, 40);
constexpr QSize SpecialMin(25, 20), SpecialMax(37, 50);

const KeyButton keyButtons[] = {
    {&F::pushButton_mm, "pushButton_mm", &F::rootMenuGrid, 0, 3, RootMin, RootMax, 9,
     QT_TRANSLATE_NOOP("MainWindow", "Main\nMenu"), QT_TRANSLATE_NOOP("MainWindow", "M")},
    {&F::pushButton_sm, "pushButton_sm", &F::rootMenuGrid, 0, 4, RootMin, RootMax, 9,
     QT_TRANSLATE_NOOP("MainWindow", "Sub \nMenu"), nullptr},
    {&F::pushButton_help, "pushButton_help", &F::rootMenuGrid, 0, 0, RootMin, RootMax, 9,
     QT_TRANSLATE_NOOP("MainWindow", "Help"), nullptr},
    {&F::pushButton_status, "pushButton_status", &F::rootMenuGrid, 0, 1, RootMin, RootMax, 9,
     QT_TRANSLATE_NOOP("MainWindow", "Status"), nullptr},
    {&F::pushButton_1, "pushButton_1", &F::navNumGrid, 1, 4, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "1"), QT_TRANSLATE_NOOP("MainWindow", "1")},
    {&F::pushButton_2, "pushButton_2", &F::navNumGrid, 1, 5, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "2"), QT_TRANSLATE_NOOP("MainWindow", "2")},
    {&F::pushButton_3, "pushButton_3", &F::navNumGrid, 1, 6, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "3"), QT_TRANSLATE_NOOP("MainWindow", "3")},
    {&F::pushButton_4, "pushButton_4", &F::navNumGrid, 2, 4, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "4"), QT_TRANSLATE_NOOP("MainWindow", "4")},
    {&F::pushButton_5, "pushButton_5", &F::navNumGrid, 2, 5, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "5"), QT_TRANSLATE_NOOP("MainWindow", "5")},
    {&F::pushButton_6, "pushButton_6", &F::navNumGrid, 2, 6, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "6"), QT_TRANSLATE_NOOP("MainWindow", "6")},
    {&F::pushButton_7, "pushButton_7", &F::navNumGrid, 4, 4, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "7"), QT_TRANSLATE_NOOP("MainWindow", "7")},
    {&F::pushButton_8, "pushButton_8", &F::navNumGrid, 4, 5, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "8"), QT_TRANSLATE_NOOP("MainWindow", "8")},
    {&F::pushButton_9, "pushButton_9", &F::navNumGrid, 4, 6, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "9"), QT_TRANSLATE_NOOP("MainWindow", "9")},
    {&F::pushButton_0, "pushButton_0", &F::navNumGrid, 5, 5, PadMin, PadMax, 16,
     QT_TRANSLATE_NOOP("MainWindow", "0"), QT_TRANSLATE_NOOP("MainWindow", "0")},
    {&F::pushButton_right, "pushButton_right", &F::navNumGrid, 2, 2, PadMin, PadMax, 12,
     QT_TRANSLATE_NOOP("MainWindow", ">"), nullptr},
    {&F::pushButton_up, "pushButton_up", &F::navNumGrid, 1, 1, PadMin, PadMax, 12,
     QT_TRANSLATE_NOOP("MainWindow", "^"), nullptr},
    {&F::pushButton_left, "pushButton_left", &F::navNumGrid, 2, 0, PadMin, PadMax, 12,
     QT_TRANSLATE_NOOP("MainWindow", "<"), nullptr},
    {&F::pushButton_enter, "pushButton_enter", &F::navNumGrid, 2, 1, PadMin, PadMax, 11,
     QT_TRANSLATE_NOOP("MainWindow", "E"), nullptr},
    {&F::pushButton_down, "pushButton_down", &F::navNumGrid, 4, 1, PadMin, PadMax, 8,
     QT_TRANSLATE_NOOP("MainWindow", "V"), nullptr},
    {&F::pushButton_sf, "pushButton_sf", &F::specialKeyGrid, 0, 0, SpecialMin, SpecialMax, 0,
     QT_TRANSLATE_NOOP("MainWindow", "Spec\nFunc"), nullptr},
    {&F::pushButton_c, "pushButton_c", &F::specialKeyGrid, 0, 1, SpecialMin, SpecialMax, 0,
     QT_TRANSLATE_NOOP("MainWindow", "Clr"), nullptr},
    {&F::pushButton_start, "pushButton_start", &F::specialKeyGrid, 0, 2, SpecialMin, SpecialMax, 0,
     QT_TRANSLATE_NOOP("MainWindow", "Start"), nullptr},
    {&F::pushButton_np, "pushButton_np", &F::specialKeyGrid, 1, 0, SpecialMin, SpecialMax, 10,
     QT_TRANSLATE_NOOP("MainWindow", "Next\nPage"), nullptr},
    {&F::pushButton_nd, "pushButton_nd", &F::specialKeyGrid, 1, 1, SpecialMin, SpecialMax, 10,
     QT_TRANSLATE_NOOP("MainWindow", "Next\nData"), nullptr},
    {&F::pushButton_ns, "pushButton_ns", &F::specialKeyGrid, 1, 2, SpecialMin, SpecialMax, 10,
     QT_TRANSLATE_NOOP("MainWindow", "Next\nScrn"), nullptr},
};

// The default controller is 127.0.0.1:501, the address and port a link task falls back to when it
// is given none; the boxes start there so that Connect and Start reach the same controller.
constexpr int DefaultOctets[4] = {127, 0, 0, 1};
constexpr int DefaultPort = 501;

QString translated(const char *text)
{
    return QCoreApplication::translate("MainWindow", text, nullptr);
}

// A null family or a size of 0 leaves that part of the application font as it is.
QFont makeFont(const char *family, int pointSize)
{
    QFont font;
    if (family)
        font.setFamily(QString::fromLatin1(family));
    if (pointSize > 0)
        font.setPointSize(pointSize);
    return font;
}

// Stretch 0 both ways; the widget's own height-for-width flag is kept.
void setPolicy(QWidget *widget, QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical)
{
    QSizePolicy policy(horizontal, vertical);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    policy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(policy);
}

QSpinBox *makeOctetBox(QWidget *parent, const char *name, int minimum, int maximum, int value)
{
    auto *box = new QSpinBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setMinimumSize(QSize(0, 44));
    setPolicy(box, QSizePolicy::Minimum, QSizePolicy::Maximum);
    box->setFont(makeFont(nullptr, 16));
    // Range before value, so the value is not clipped by the default range of 0..99.
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setValue(value);
    return box;
}

QLabel *makeCaption(QWidget *parent, const char *name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(makeFont("Segoe UI", 12));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

} // namespace

void MainWindowForm::setup(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(800, 480);
    window->setFocusPolicy(Qt::NoFocus);
    window->setWindowOpacity(1.0);

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    centralWidget->setAutoFillBackground(false);

    verticalLayout = new QVBoxLayout(centralWidget);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);

    // Top row: address, port, Connect, and the poll dial with its read-out. A margin of -1
    // leaves that side at the layout's default.
    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setSpacing(6);
    horizontalLayout->setContentsMargins(7, 0, -1, -1);

    label_2 = makeCaption(centralWidget, "label_2");
    horizontalLayout->addWidget(label_2);
    spinBox_1 = makeOctetBox(centralWidget, "spinBox_1", 1, 255, DefaultOctets[0]);
    horizontalLayout->addWidget(spinBox_1);
    spinBox_2 = makeOctetBox(centralWidget, "spinBox_2", 0, 255, DefaultOctets[1]);
    horizontalLayout->addWidget(spinBox_2);
    spinBox_3 = makeOctetBox(centralWidget, "spinBox_3", 0, 255, DefaultOctets[2]);
    horizontalLayout->addWidget(spinBox_3);
    spinBox_4 = makeOctetBox(centralWidget, "spinBox_4", 1, 255, DefaultOctets[3]);
    horizontalLayout->addWidget(spinBox_4);
    label = makeCaption(centralWidget, "label");
    horizontalLayout->addWidget(label);
    spinBox_5 = makeOctetBox(centralWidget, "spinBox_5", 13, 65535, DefaultPort);
    horizontalLayout->addWidget(spinBox_5);

    commandLinkButton = new QCommandLinkButton(centralWidget);
    commandLinkButton->setObjectName(QStringLiteral("commandLinkButton"));
    commandLinkButton->setMaximumSize(QSize(140, 16777215));
    commandLinkButton->setFont(makeFont("Segoe UI", 13));
    horizontalLayout->addWidget(commandLinkButton);

    label_latency = new QLabel(centralWidget);
    label_latency->setObjectName(QStringLiteral("label_latency"));
    label_latency->setMaximumSize(QSize(60, 60));
    QFont readOut = makeFont("Segoe UI", 14);
    readOut.setBold(false);
    readOut.setWeight(QFont::Normal); // weight 50 on the old 0..99 scale
    label_latency->setFont(readOut);
    label_latency->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_latency->setMargin(2);
    horizontalLayout->addWidget(label_latency);

    dial = new QDial(centralWidget);
    dial->setObjectName(QStringLiteral("dial"));
    dial->setMaximumSize(QSize(50, 50));
    dial->setCursor(QCursor(Qt::ArrowCursor));
    dial->setMinimum(10);
    dial->setMaximum(1000);
    dial->setSingleStep(10);
    dial->setPageStep(50);
    dial->setValue(100);
    dial->setWrapping(false);
    dial->setNotchesVisible(true);
    horizontalLayout->addWidget(dial);

    verticalLayout->addLayout(horizontalLayout);

    // Main row: the display on the left, the keypad column on the right.
    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    horizontalLayout_2->setSpacing(6);

    graphicsView = new QGraphicsView(centralWidget);
    graphicsView->setObjectName(QStringLiteral("graphicsView"));
    graphicsView->setFont(makeFont("Courier", 0));
    graphicsView->setAcceptDrops(false);
    graphicsView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    graphicsView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    graphicsView->setInteractive(false);
    // The display is only looked at. With the focus a view would eat the arrow and page keys
    // that belong to the controller.
    graphicsView->setFocusPolicy(Qt::NoFocus);
    // A null rectangle: the view follows its scene's rectangle.
    graphicsView->setSceneRect(QRectF(0, 0, 0, 0));
    graphicsView->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    horizontalLayout_2->addWidget(graphicsView);

    verticalLayout_2 = new QVBoxLayout();
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    verticalLayout_2->setSpacing(6);

    progressBar = new QProgressBar(centralWidget);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setMinimumSize(QSize(12, 0));
    progressBar->setMaximumSize(QSize(300, 13));
    setPolicy(progressBar, QSizePolicy::Minimum, QSizePolicy::Fixed);
    progressBar->setFont(makeFont(nullptr, 10));
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setFormat(QStringLiteral("%v"));
    verticalLayout_2->addWidget(progressBar);

    rootMenuGrid = new QGridLayout();
    rootMenuGrid->setObjectName(QStringLiteral("rootMenuGrid"));
    rootMenuGrid->setSpacing(6);
    rootMenuGrid->setSizeConstraint(QLayout::SetMinimumSize);
    rootMenuGrid->setVerticalSpacing(0); // only the horizontal spacing stays 6
    rootMenuGrid->setContentsMargins(0, -1, -1, -1);
    addKeys(&MainWindowForm::rootMenuGrid);
    rootMenuSpacer = new QSpacerItem(7, 20, QSizePolicy::Minimum, QSizePolicy::Minimum);
    rootMenuGrid->addItem(rootMenuSpacer, 0, 2, 1, 1);
    verticalLayout_2->addLayout(rootMenuGrid);

    navNumGrid = new QGridLayout();
    navNumGrid->setObjectName(QStringLiteral("navNumGrid"));
    navNumGrid->setSpacing(6);
    navNumGrid->setContentsMargins(-1, 0, -1, 0);
    addKeys(&MainWindowForm::navNumGrid);
    verticalLayout_2->addLayout(navNumGrid);

    specialKeyGrid = new QGridLayout();
    specialKeyGrid->setObjectName(QStringLiteral("specialKeyGrid"));
    specialKeyGrid->setSpacing(6);
    addKeys(&MainWindowForm::specialKeyGrid);
    verticalLayout_2->addLayout(specialKeyGrid);

    horizontalLayout_2->addLayout(verticalLayout_2);
    verticalLayout->addLayout(horizontalLayout_2);

    window->setCentralWidget(centralWidget);

    QWidget::setTabOrder(pushButton_1, pushButton_2);
    QWidget::setTabOrder(pushButton_2, pushButton_3);
    QWidget::setTabOrder(pushButton_3, pushButton_4);
    QWidget::setTabOrder(pushButton_4, pushButton_5);
    QWidget::setTabOrder(pushButton_5, pushButton_6);
    QWidget::setTabOrder(pushButton_6, pushButton_7);
    QWidget::setTabOrder(pushButton_7, pushButton_8);
    QWidget::setTabOrder(pushButton_8, pushButton_9);
    QWidget::setTabOrder(pushButton_9, pushButton_0);

    applyTexts(window);

    QObject::connect(dial, &QDial::valueChanged, label_latency, qOverload<int>(&QLabel::setNum));
    QMetaObject::connectSlotsByName(window);
}

// Creates the buttons of one grid in table order and puts each into its cell.
void MainWindowForm::addKeys(QGridLayout *MainWindowForm::*grid)
{
    for (const KeyButton &key : keyButtons) {
        if (key.grid != grid)
            continue;
        auto *button = new QPushButton(centralWidget);
        button->setObjectName(QString::fromLatin1(key.name));
        button->setMinimumSize(key.minimum);
        button->setMaximumSize(key.maximum);
        setPolicy(button, QSizePolicy::Fixed, QSizePolicy::Fixed);
        button->setBaseSize(QSize(30, 0));
        button->setFont(makeFont("Segoe UI", key.pointSize));
        // Keys never take the focus, so keyboard input keeps going to the window's handler.
        button->setFocusPolicy(Qt::NoFocus);
        (this->*grid)->addWidget(button, key.row, key.column, 1, 1);
        this->*key.member = button;
    }
}

void MainWindowForm::applyTexts(QMainWindow *window)
{
    window->setWindowTitle(translated("MainWindow"));
    label_2->setText(translated("IP Address"));
    label->setText(translated("     Port"));
    commandLinkButton->setText(translated("Connect"));
    label_latency->setWhatsThis(translated(""));
    label_latency->setText(translated("100"));
    for (const KeyButton &key : keyButtons) {
        QPushButton *button = this->*key.member;
        button->setText(translated(key.caption));
        if (key.shortcut)
            button->setShortcut(QKeySequence(translated(key.shortcut)));
    }
}
