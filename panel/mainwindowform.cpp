#include "mainwindowform.h"

#include "keytable.h"

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

using F = MainWindowForm;

// What the form adds to the key table: the layout and button sizes of each of the keypad's grids,
// and for each button its member and font size.
struct GridLook
{
    QGridLayout *MainWindowForm::*layout;
    QSize minimum;
    QSize maximum;
};

const GridLook gridLooks[] = {
    {&F::rootMenuGrid, QSize(35, 20), QSize(61, 50)},   // KeyTable::RootMenuGrid
    {&F::navNumGrid, QSize(35, 40), QSize(37, 40)},     // KeyTable::NavNumGrid
    {&F::specialKeyGrid, QSize(25, 20), QSize(37, 50)}, // KeyTable::SpecialKeyGrid
};

// Start sits in the special keys' grid but is no controller key: it connects to the default
// controller.
constexpr KeyTable::Key startButton = {KeyTable::KeyCode(0), "pushButton_start", "Start",
                                       QT_TRANSLATE_NOOP("MainWindow", "Start"),
                                       KeyTable::SpecialKeyGrid, 0, 2, 0};

constexpr const KeyTable::Key *key(KeyTable::KeyCode code)
{
    return &KeyTable::keys[code - 1];
}

// The 25 keypad buttons in order of creation, which is also the order their texts are applied.
// Buttons of one grid follow each other, so each grid is filled by one pass over the table.
struct KeyButton
{
    QPushButton *MainWindowForm::*member;
    const KeyTable::Key *key;
    int pointSize; // 0 leaves the size of the application font
};

using namespace KeyTable;
const KeyButton keyButtons[] = {
    {&F::pushButton_mm, key(MainMenu), 9},     {&F::pushButton_sm, key(SubMenu), 9},
    {&F::pushButton_help, key(Help), 9},       {&F::pushButton_status, key(Status), 9},
    {&F::pushButton_1, key(Key1), 16},         {&F::pushButton_2, key(Key2), 16},
    {&F::pushButton_3, key(Key3), 16},         {&F::pushButton_4, key(Key4), 16},
    {&F::pushButton_5, key(Key5), 16},         {&F::pushButton_6, key(Key6), 16},
    {&F::pushButton_7, key(Key7), 16},         {&F::pushButton_8, key(Key8), 16},
    {&F::pushButton_9, key(Key9), 16},         {&F::pushButton_0, key(Key0), 16},
    {&F::pushButton_right, key(Right), 12},    {&F::pushButton_up, key(Up), 12},
    {&F::pushButton_left, key(Left), 12},      {&F::pushButton_enter, key(Enter), 11},
    {&F::pushButton_down, key(Down), 8},       {&F::pushButton_sf, key(SpecFunc), 0},
    {&F::pushButton_c, key(Clear), 0},         {&F::pushButton_start, &startButton, 0},
    {&F::pushButton_np, key(NextPage), 10},    {&F::pushButton_nd, key(NextData), 10},
    {&F::pushButton_ns, key(NextScreen), 10},
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

// One keypad button in its grid cell, as the table and the grid's look say.
QPushButton *makeKeyButton(QWidget *parent, QGridLayout *grid, const GridLook &look,
                           const KeyButton &key)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(key.key->objectName));
    button->setMinimumSize(look.minimum);
    button->setMaximumSize(look.maximum);
    setPolicy(button, QSizePolicy::Fixed, QSizePolicy::Fixed);
    button->setBaseSize(QSize(30, 0));
    button->setFont(makeFont("Segoe UI", key.pointSize));
    // Keys never take the focus, so keyboard input keeps going to the window's handler.
    button->setFocusPolicy(Qt::NoFocus);
    grid->addWidget(button, key.key->row, key.key->column, 1, 1);
    return button;
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
    for (const KeyButton &button : keyButtons) {
        const GridLook &look = gridLooks[button.key->grid];
        if (look.layout == grid)
            this->*button.member = makeKeyButton(centralWidget, this->*grid, look, button);
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
        button->setText(translated(key.key->caption));
        if (key.key->shortcut)
            button->setShortcut(QKeySequence(key.key->shortcut));
    }
}
