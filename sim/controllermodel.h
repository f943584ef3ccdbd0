// The simulated field controller behind the agent: a menu-driven 16 x 40 character display that
// reacts to front-panel key codes, and a two-ring phase sequence that runs on its own clock.
// Time moves only through tick(), so tests drive it deterministically.
#ifndef SIM_CONTROLLERMODEL_H
#define SIM_CONTROLLERMODEL_H

#include "displaygeometry.h"

#include <cstdint>

class ControllerModel
{
public:
    static constexpr int Rows = PanelDisplay::Rows;
    static constexpr int Columns = PanelDisplay::Columns;
    // Cursor bytes, then rows 0..7; and rows 8..15.
    static constexpr int FirstBlockSize = 2 + 8 * Columns;
    static constexpr int SecondBlockSize = 8 * Columns;

    // Front-panel key codes (the digit 0 is 10).
    enum Key : uint8_t {
        KeySpecFunc = 11,
        KeyClr = 12,
        KeyUp = 13,
        KeyDown = 14,
        KeyLeft = 15,
        KeyRight = 16,
        KeyMainMenu = 17,
        KeyNextScrn = 18,
        KeySubMenu = 19,
        KeyNextData = 20,
        KeyStatus = 21,
        KeyHelp = 22,
        KeyEnter = 23,
        KeyNextPage = 24,
    };

    enum class Screen { MainMenu, Status, PhaseTiming, SpecialFunctions, UnitInfo, Help };

    // Timing parameters of the phase timing screen, four to a page.
    enum Parameter {
        MinGreen,
        Passage,
        Max1,
        Max2,
        Yellow,
        RedClear,
        Walk,
        PedClear,
        ParameterCount
    };
    static constexpr int Phases = 8;
    static constexpr int ParametersPerPage = 4;
    static constexpr int MenuEntries = 4;

    // Interval of a ring's active phase.
    enum Interval { Green, YellowChange, RedClearance };

    // startSecondOfDay: the wall clock shown at time 0.
    explicit ControllerModel(int startSecondOfDay = 8 * 3600);

    // Lets ms milliseconds pass: the clock, the ring timers and the screen follow.
    void tick(int ms);
    // Presses a key; false (and nothing happens) for a code outside 1..24.
    bool pressKey(int code);

    // Row r as 40 printable characters followed by a NUL.
    const char *rowText(int r) const { return screen_[r]; }
    // 1..16 and 1..40 while the cursor is shown, 0 and 0 when not.
    int cursorRow() const { return cursorRow_; }
    int cursorColumn() const { return cursorColumn_; }
    uint8_t lastKey() const { return lastKey_; }

    // The two display blocks as the agent serves them.
    void firstBlock(uint8_t *out) const;
    void secondBlock(uint8_t *out) const;

    Screen screen() const { return current_; }
    int page() const { return page_; }
    int menuSelection() const { return menuSelection_; }
    int timingValue(int parameter, int phase) const { return timing_[parameter][phase]; }
    bool specialFunction(int n) const { return specialFunctions_[n]; }
    // Phase (1..8) active in ring 0 or 1, its interval and tenths of a second left in it.
    int ringPhase(int ring) const { return rings_[ring].phase + 1; }
    Interval ringInterval(int ring) const { return rings_[ring].interval; }
    int ringRemainingTenths(int ring) const { return rings_[ring].remainingTenths; }
    // Milliseconds since the model started.
    uint64_t elapsedMs() const { return elapsedMs_; }

private:
    struct Ring
    {
        int phase; // 0..7
        Interval interval;
        int remainingTenths;
    };

    void open(Screen s);
    void stepTenth();
    void startInterval(Ring &ring, Interval interval);
    int intervalTenths(int phase, Interval interval) const;
    void timingKey(int code);
    void discardEntry() { entryLength_ = 0; }

    void render();
    void clearScreen();
    void put(int row, int column, const char *text);
    void putClockTitle(const char *title);
    void renderMenu();
    void renderStatus();
    void renderTiming();
    void renderSpecialFunctions();
    void renderUnitInfo();
    void renderHelp();

    char screen_[Rows][Columns + 1];
    int cursorRow_ = 0;
    int cursorColumn_ = 0;
    uint8_t lastKey_ = 0;

    Screen current_ = Screen::MainMenu;
    Screen helpReturn_ = Screen::MainMenu;
    int page_ = 0;
    int menuSelection_ = 0;

    int timing_[ParameterCount][Phases];
    int fieldRow_ = 0; // parameter row on the current timing page
    int fieldPhase_ = 0;
    char entry_[4] = {};
    int entryLength_ = 0;
    const char *message_ = "";

    bool specialFunctions_[Phases] = {};

    Ring rings_[2];
    int startSecond_;
    uint64_t elapsedMs_ = 0;
    int carryMs_ = 0;
    uint32_t cycles_ = 0;
};

#endif // SIM_CONTROLLERMODEL_H
