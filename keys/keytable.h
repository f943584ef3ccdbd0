// The controller's front-panel keys in one table: their one-byte codes, the desktop keypad's
// buttons (object name, caption, place in the keypad's three grids) and the keyboard keys that
// press them. The desktop window and the browser front panel both take their keys from here.
#ifndef KEYTABLE_H
#define KEYTABLE_H

#include <Qt>

#include <cstdint>

namespace KeyTable {

// The controller's key codes. The digit 0 is 10; 0 itself means "no key waiting".
enum KeyCode : uint8_t {
    Key1 = 1,
    Key2,
    Key3,
    Key4,
    Key5,
    Key6,
    Key7,
    Key8,
    Key9,
    Key0 = 10,
    SpecFunc = 11,
    Clear = 12,
    Up = 13,
    Down = 14,
    Left = 15,
    Right = 16,
    MainMenu = 17,
    NextScreen = 18,
    SubMenu = 19,
    NextData = 20,
    Status = 21,
    Help = 22,
    Enter = 23,
    NextPage = 24,
};

constexpr int KeyCount = 24;

// The keypad column of the desktop window: the menu row, the arrows beside the digits, and the
// special keys below them.
enum Grid { RootMenuGrid, NavNumGrid, SpecialKeyGrid };

struct Key
{
    KeyCode code;
    const char *objectName; // the desktop button's
    const char *name;       // for people: the audit trail and the browser's labels
    const char *caption;    // the button's text; \n breaks the line; the window translates it
    Grid grid;
    int row;
    int column;
    int shortcut; // the button's keyboard shortcut as a Qt key; 0 for none
};

// In the order of the codes, so that keys[code - 1] is the key of code.
constexpr Key keys[KeyCount] = {
    {Key1, "pushButton_1", "1", QT_TRANSLATE_NOOP("MainWindow", "1"), NavNumGrid, 1, 4, Qt::Key_1},
    {Key2, "pushButton_2", "2", QT_TRANSLATE_NOOP("MainWindow", "2"), NavNumGrid, 1, 5, Qt::Key_2},
    {Key3, "pushButton_3", "3", QT_TRANSLATE_NOOP("MainWindow", "3"), NavNumGrid, 1, 6, Qt::Key_3},
    {Key4, "pushButton_4", "4", QT_TRANSLATE_NOOP("MainWindow", "4"), NavNumGrid, 2, 4, Qt::Key_4},
    {Key5, "pushButton_5", "5", QT_TRANSLATE_NOOP("MainWindow", "5"), NavNumGrid, 2, 5, Qt::Key_5},
    {Key6, "pushButton_6", "6", QT_TRANSLATE_NOOP("MainWindow", "6"), NavNumGrid, 2, 6, Qt::Key_6},
    {Key7, "pushButton_7", "7", QT_TRANSLATE_NOOP("MainWindow", "7"), NavNumGrid, 4, 4, Qt::Key_7},
    {Key8, "pushButton_8", "8", QT_TRANSLATE_NOOP("MainWindow", "8"), NavNumGrid, 4, 5, Qt::Key_8},
    {Key9, "pushButton_9", "9", QT_TRANSLATE_NOOP("MainWindow", "9"), NavNumGrid, 4, 6, Qt::Key_9},
    {Key0, "pushButton_0", "0", QT_TRANSLATE_NOOP("MainWindow", "0"), NavNumGrid, 5, 5, Qt::Key_0},
    {SpecFunc, "pushButton_sf", "Spec Func", QT_TRANSLATE_NOOP("MainWindow", "Spec\nFunc"), SpecialKeyGrid, 0, 0, 0},
    {Clear, "pushButton_c", "Clr", QT_TRANSLATE_NOOP("MainWindow", "Clr"), SpecialKeyGrid, 0, 1, 0},
    {Up, "pushButton_up", "Up", QT_TRANSLATE_NOOP("MainWindow", "^"), NavNumGrid, 1, 1, 0},
    {Down, "pushButton_down", "Down", QT_TRANSLATE_NOOP("MainWindow", "V"), NavNumGrid, 4, 1, 0},
    {Left, "pushButton_left", "Left", QT_TRANSLATE_NOOP("MainWindow", "<"), NavNumGrid, 2, 0, 0},
    {Right, "pushButton_right", "Right", QT_TRANSLATE_NOOP("MainWindow", ">"), NavNumGrid, 2, 2, 0},
    {MainMenu, "pushButton_mm", "Main Menu", QT_TRANSLATE_NOOP("MainWindow", "Main\nMenu"), RootMenuGrid, 0, 3, Qt::Key_M},
    {NextScreen, "pushButton_ns", "Next Scrn", QT_TRANSLATE_NOOP("MainWindow", "Next\nScrn"), SpecialKeyGrid, 1, 2, 0},
    {SubMenu, "pushButton_sm", "Sub Menu", QT_TRANSLATE_NOOP("MainWindow", "Sub \nMenu"), RootMenuGrid, 0, 4, 0},
    {NextData, "pushButton_nd", "Next Data", QT_TRANSLATE_NOOP("MainWindow", "Next\nData"), SpecialKeyGrid, 1, 1, 0},
    {Status, "pushButton_status", "Status", QT_TRANSLATE_NOOP("MainWindow", "Status"), RootMenuGrid, 0, 1, 0},
    {Help, "pushButton_help", "Help", QT_TRANSLATE_NOOP("MainWindow", "Help"), RootMenuGrid, 0, 0, 0},
    {Enter, "pushButton_enter", "Enter", QT_TRANSLATE_NOOP("MainWindow", "E"), NavNumGrid, 2, 1, 0},
    {NextPage, "pushButton_np", "Next Page", QT_TRANSLATE_NOOP("MainWindow", "Next\nPage"), SpecialKeyGrid, 1, 0, 0},
};

// The key of a code, or null for a code that is no key.
inline const Key *keyOf(int code)
{
    return code >= 1 && code <= KeyCount ? &keys[code - 1] : nullptr;
}

// Keyboard keys beyond the buttons' shortcuts. M is both: it is listed here as well for when the
// shortcut cannot fire.
struct KeyboardKey
{
    int qtKey;
    KeyCode code;
};

constexpr KeyboardKey keyboardKeys[] = {
    {Qt::Key_Space, Key0},
    {Qt::Key_Asterisk, SpecFunc},
    {Qt::Key_F, SpecFunc},
    {Qt::Key_Period, Clear},
    {Qt::Key_C, Clear},
    {Qt::Key_Delete, Clear},
    {Qt::Key_Up, Up},
    {Qt::Key_Down, Down},
    {Qt::Key_Left, Left},
    {Qt::Key_Right, Right},
    {Qt::Key_M, MainMenu},
    {Qt::Key_Home, MainMenu},
    {Qt::Key_PageDown, NextScreen},
    {Qt::Key_Escape, SubMenu},
    {Qt::Key_End, SubMenu},
    {Qt::Key_Minus, NextData},
    {Qt::Key_D, NextData},
    {Qt::Key_Plus, Status},
    {Qt::Key_S, Status},
    {Qt::Key_Slash, Help},
    {Qt::Key_H, Help},
    {Qt::Key_Return, Enter},
    {Qt::Key_Enter, Enter},
    {Qt::Key_PageUp, NextPage},
};

} // namespace KeyTable

#endif // KEYTABLE_H
