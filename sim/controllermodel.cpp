#include "controllermodel.h"

#include <cstdio>
#include <cstring>

namespace {

const char *const parameterLabels[ControllerModel::ParameterCount] = {
    "MIN GRN", "PASSAGE", "MAX 1", "MAX 2", "YELLOW", "RED CLR", "WALK", "PED CLR",
};

// Factory timing in seconds: phases 2 and 6 are the main street and get the long greens.
const int defaultTiming[ControllerModel::ParameterCount][ControllerModel::Phases] = {
    {5, 15, 5, 5, 5, 15, 5, 5},       // minimum green
    {3, 4, 3, 3, 3, 4, 3, 3},         // passage
    {20, 40, 20, 25, 20, 40, 20, 25}, // max 1
    {30, 55, 30, 35, 30, 55, 30, 35}, // max 2
    {3, 4, 3, 3, 3, 4, 3, 3},         // yellow
    {2, 2, 2, 2, 2, 2, 2, 2},         // red clearance
    {0, 7, 0, 7, 0, 7, 0, 7},         // walk
    {0, 12, 0, 12, 0, 12, 0, 12},     // pedestrian clearance
};

const char *const menuTitles[ControllerModel::MenuEntries] = {
    "STATUS DISPLAY",
    "PHASE TIMING",
    "SPECIAL FUNCTIONS",
    "UNIT INFORMATION",
};
const ControllerModel::Screen menuScreens[ControllerModel::MenuEntries] = {
    ControllerModel::Screen::Status,
    ControllerModel::Screen::PhaseTiming,
    ControllerModel::Screen::SpecialFunctions,
    ControllerModel::Screen::UnitInfo,
};

const char *const intervalNames[] = {"GREEN", "YELLOW", "RED"};
const char intervalLetters[] = {'G', 'Y', 'R'};

const char *const divider = "----------------------------------------";

int digitOf(int code)
{
    return code == 10 ? 0 : code;
}

bool isDigitKey(int code)
{
    return code >= 1 && code <= 10;
}

} // namespace

ControllerModel::ControllerModel(int startSecondOfDay) : startSecond_(startSecondOfDay)
{
    std::memcpy(timing_, defaultTiming, sizeof timing_);
    // Both rings start in the green of their main-street phase.
    rings_[0].phase = 1;
    rings_[1].phase = 5;
    startInterval(rings_[0], Green);
    startInterval(rings_[1], Green);
    render();
}

int ControllerModel::intervalTenths(int phase, Interval interval) const
{
    int seconds = 0;
    switch (interval) {
    case Green: {
        // Max recall with a fixed number of gaps: min green plus two passages, capped by max 1.
        const int minGreen = timing_[MinGreen][phase];
        const int extended = minGreen + 2 * timing_[Passage][phase];
        const int cap = timing_[Max1][phase] > minGreen ? timing_[Max1][phase] : minGreen;
        seconds = extended < cap ? extended : cap;
        break;
    }
    case YellowChange:
        seconds = timing_[Yellow][phase];
        break;
    case RedClearance:
        seconds = timing_[RedClear][phase];
        break;
    }
    // A zero time still shows the interval for one tenth, so the sequence always moves on.
    return seconds > 0 ? seconds * 10 : 1;
}

void ControllerModel::startInterval(Ring &ring, Interval interval)
{
    ring.interval = interval;
    ring.remainingTenths = intervalTenths(ring.phase, interval);
}

void ControllerModel::stepTenth()
{
    for (int r = 0; r < 2; ++r) {
        Ring &ring = rings_[r];
        if (--ring.remainingTenths > 0)
            continue;
        if (ring.interval == Green) {
            startInterval(ring, YellowChange);
        } else if (ring.interval == YellowChange) {
            startInterval(ring, RedClearance);
        } else {
            // Ring 1 serves phases 1..4, ring 2 phases 5..8.
            const int base = r * 4;
            ring.phase = base + (ring.phase - base + 1) % 4;
            if (r == 0 && ring.phase == base)
                ++cycles_;
            startInterval(ring, Green);
        }
    }
}

void ControllerModel::tick(int ms)
{
    if (ms <= 0)
        return;
    elapsedMs_ += uint64_t(ms);
    long long pending = (long long)carryMs_ + ms;
    while (pending >= 100) {
        stepTenth();
        pending -= 100;
    }
    carryMs_ = int(pending);
    render();
}

void ControllerModel::open(Screen s)
{
    current_ = s;
    page_ = 0;
    discardEntry();
    message_ = "";
}

bool ControllerModel::pressKey(int code)
{
    if (code < 1 || code > 24)
        return false;
    lastKey_ = uint8_t(code);

    switch (code) {
    case KeyMainMenu:
        menuSelection_ = 0;
        open(Screen::MainMenu);
        break;
    case KeyStatus:
        open(Screen::Status);
        break;
    case KeySpecFunc:
        open(Screen::SpecialFunctions);
        break;
    case KeyHelp:
        if (current_ == Screen::Help) {
            open(helpReturn_);
        } else {
            helpReturn_ = current_;
            open(Screen::Help);
        }
        break;
    case KeyNextScrn:
        switch (current_) {
        case Screen::MainMenu:
        case Screen::UnitInfo:
            open(Screen::Status);
            break;
        case Screen::Status:
            open(Screen::PhaseTiming);
            break;
        case Screen::PhaseTiming:
            open(Screen::SpecialFunctions);
            break;
        case Screen::SpecialFunctions:
            open(Screen::UnitInfo);
            break;
        case Screen::Help:
            open(helpReturn_);
            break;
        }
        break;
    case KeySubMenu:
        // One level up: from help back to its screen, from a screen to the menu entry it came from.
        if (current_ == Screen::Help) {
            open(helpReturn_);
        } else if (current_ != Screen::MainMenu) {
            for (int i = 0; i < MenuEntries; ++i) {
                if (menuScreens[i] == current_)
                    menuSelection_ = i;
            }
            open(Screen::MainMenu);
        }
        break;
    default:
        switch (current_) {
        case Screen::MainMenu:
            if (code >= 1 && code <= MenuEntries) {
                menuSelection_ = code - 1;
                open(menuScreens[menuSelection_]);
            } else if (code == KeyUp) {
                menuSelection_ = (menuSelection_ + MenuEntries - 1) % MenuEntries;
            } else if (code == KeyDown) {
                menuSelection_ = (menuSelection_ + 1) % MenuEntries;
            } else if (code == KeyEnter) {
                open(menuScreens[menuSelection_]);
            }
            break;
        case Screen::Status:
            if (code == KeyNextPage)
                page_ ^= 1;
            break;
        case Screen::PhaseTiming:
            timingKey(code);
            break;
        case Screen::SpecialFunctions:
            if (isDigitKey(code) && digitOf(code) >= 1 && digitOf(code) <= Phases)
                specialFunctions_[digitOf(code) - 1] = !specialFunctions_[digitOf(code) - 1];
            break;
        case Screen::Help:
            if (code == KeyClr)
                open(helpReturn_);
            break;
        case Screen::UnitInfo:
            break;
        }
        break;
    }
    render();
    return true;
}

void ControllerModel::timingKey(int code)
{
    if (isDigitKey(code)) {
        if (entryLength_ < 3) {
            entry_[entryLength_++] = char('0' + digitOf(code));
            entry_[entryLength_] = '\0';
        }
        message_ = "";
        return;
    }
    const int parameter = page_ * ParametersPerPage + fieldRow_;
    switch (code) {
    case KeyEnter:
        if (entryLength_ > 0) {
            int v = 0;
            for (int i = 0; i < entryLength_; ++i)
                v = v * 10 + (entry_[i] - '0');
            if (v > 255) {
                message_ = "VALUE OUT OF RANGE 0-255";
            } else {
                timing_[parameter][fieldPhase_] = v;
                message_ = "STORED";
            }
            discardEntry();
        }
        break;
    case KeyClr:
        if (entryLength_ > 0) {
            discardEntry();
            message_ = "ENTRY CLEARED";
        }
        break;
    case KeyUp:
        discardEntry();
        if (fieldRow_ > 0)
            --fieldRow_;
        break;
    case KeyDown:
        discardEntry();
        if (fieldRow_ < ParametersPerPage - 1)
            ++fieldRow_;
        break;
    case KeyLeft:
        discardEntry();
        if (fieldPhase_ > 0)
            --fieldPhase_;
        break;
    case KeyRight:
        discardEntry();
        if (fieldPhase_ < Phases - 1)
            ++fieldPhase_;
        break;
    case KeyNextData:
        discardEntry();
        if (++fieldPhase_ == Phases) {
            fieldPhase_ = 0;
            fieldRow_ = (fieldRow_ + 1) % ParametersPerPage;
        }
        break;
    case KeyNextPage:
        discardEntry();
        page_ ^= 1;
        break;
    default:
        break;
    }
}

void ControllerModel::firstBlock(uint8_t *out) const
{
    out[0] = uint8_t(cursorRow_);
    out[1] = uint8_t(cursorColumn_);
    for (int r = 0; r < 8; ++r)
        std::memcpy(out + 2 + r * Columns, screen_[r], Columns);
}

void ControllerModel::secondBlock(uint8_t *out) const
{
    for (int r = 8; r < Rows; ++r)
        std::memcpy(out + (r - 8) * Columns, screen_[r], Columns);
}

// --- Drawing ------------------------------------------------------------------------------------

void ControllerModel::clearScreen()
{
    for (int r = 0; r < Rows; ++r) {
        std::memset(screen_[r], ' ', Columns);
        screen_[r][Columns] = '\0';
    }
    cursorRow_ = 0;
    cursorColumn_ = 0;
}

void ControllerModel::put(int row, int column, const char *text)
{
    if (row < 0 || row >= Rows)
        return;
    for (int c = column; c < Columns && *text; ++c, ++text) {
        const char ch = *text;
        // The display shows printable ASCII only; anything else would be a control byte.
        screen_[row][c] = (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    }
}

void ControllerModel::putClockTitle(const char *title)
{
    put(0, 0, title);
    const uint64_t seconds = (uint64_t(startSecond_) + elapsedMs_ / 1000) % 86400;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", int(seconds / 3600),
                  int(seconds / 60 % 60), int(seconds % 60));
    put(0, Columns - 8, clock);
    put(1, 0, divider);
}

void ControllerModel::render()
{
    clearScreen();
    switch (current_) {
    case Screen::MainMenu:
        renderMenu();
        break;
    case Screen::Status:
        renderStatus();
        break;
    case Screen::PhaseTiming:
        renderTiming();
        break;
    case Screen::SpecialFunctions:
        renderSpecialFunctions();
        break;
    case Screen::UnitInfo:
        renderUnitInfo();
        break;
    case Screen::Help:
        renderHelp();
        break;
    }
}

void ControllerModel::renderMenu()
{
    putClockTitle("MAIN MENU");
    char line[64];
    for (int i = 0; i < MenuEntries; ++i) {
        std::snprintf(line, sizeof line, " %c%d %s", i == menuSelection_ ? '>' : ' ', i + 1,
                      menuTitles[i]);
        put(3 + i, 0, line);
    }
    put(9, 0, "SELECT 1-4, OR ARROWS AND E");
    put(14, 0, divider);
    put(15, 0, "HELP: KEYS   STATUS: LIVE STATUS");
    // The cursor sits on the selected entry's number.
    cursorRow_ = 3 + menuSelection_ + 1;
    cursorColumn_ = 3;
}

void ControllerModel::renderStatus()
{
    char line[64];
    std::snprintf(line, sizeof line, "STATUS  PAGE %d/2", page_ + 1);
    putClockTitle(line);
    if (page_ == 0) {
        put(2, 0, "PHASE    1   2   3   4   5   6   7   8");
        put(3, 0, "STATE");
        put(4, 0, "TIME");
        for (int p = 0; p < Phases; ++p) {
            const Ring &ring = rings_[p / 4];
            const bool active = ring.phase == p;
            const char letter = active ? intervalLetters[ring.interval] : 'R';
            std::snprintf(line, sizeof line, "%4c", letter);
            put(3, 8 + 4 * p, line);
            if (active) {
                std::snprintf(line, sizeof line, "%4d", (ring.remainingTenths + 9) / 10);
                put(4, 8 + 4 * p, line);
            }
        }
        for (int r = 0; r < 2; ++r) {
            const Ring &ring = rings_[r];
            std::snprintf(line, sizeof line, "RING %d  PHASE %d  %-6s  %4d.%d S", r + 1,
                          ring.phase + 1, intervalNames[ring.interval], ring.remainingTenths / 10,
                          ring.remainingTenths % 10);
            put(6 + r, 0, line);
        }
        std::snprintf(line, sizeof line, "CYCLE %5u   MODE FREE   PREEMPT OFF",
                      unsigned(cycles_ % 100000));
        put(9, 0, line);
        int n = std::snprintf(line, sizeof line, "SPEC FUNC ON:");
        bool any = false;
        for (int i = 0; i < Phases && n < int(sizeof line) - 3; ++i) {
            if (specialFunctions_[i]) {
                n += std::snprintf(line + n, sizeof line - n, " %d", i + 1);
                any = true;
            }
        }
        if (!any)
            std::snprintf(line + n, sizeof line - n, " NONE");
        put(10, 0, line);
        put(14, 0, divider);
        put(15, 0, "NEXT PAGE: PHASE DETAIL  MM: MAIN MENU");
    } else {
        put(2, 0, "PHASE STATE   GREEN  YEL  RED WALK PED");
        for (int p = 0; p < Phases; ++p) {
            const Ring &ring = rings_[p / 4];
            const char *state = ring.phase == p ? intervalNames[ring.interval] : "RED";
            std::snprintf(line, sizeof line, "  %d   %-6s %5d %4d %4d %4d %3d", p + 1, state,
                          intervalTenths(p, Green) / 10, timing_[Yellow][p], timing_[RedClear][p],
                          timing_[Walk][p], timing_[PedClear][p]);
            put(3 + p, 0, line);
        }
        put(14, 0, divider);
        put(15, 0, "NEXT PAGE: OVERVIEW      MM: MAIN MENU");
    }
}

void ControllerModel::renderTiming()
{
    char line[64];
    std::snprintf(line, sizeof line, "PHASE TIMING  PAGE %d/2", page_ + 1);
    putClockTitle(line);
    put(2, 0, "PHASE    1   2   3   4   5   6   7   8");
    for (int row = 0; row < ParametersPerPage; ++row) {
        const int parameter = page_ * ParametersPerPage + row;
        put(3 + row, 0, parameterLabels[parameter]);
        for (int p = 0; p < Phases; ++p) {
            const bool editing = entryLength_ > 0 && row == fieldRow_ && p == fieldPhase_;
            if (editing)
                std::snprintf(line, sizeof line, "%4s", entry_);
            else
                std::snprintf(line, sizeof line, "%4d", timing_[parameter][p]);
            put(3 + row, 8 + 4 * p, line);
        }
    }
    put(9, 0, message_);
    put(12, 0, "DIGITS: NEW VALUE      E: STORE");
    put(13, 0, "CLR: CANCEL ENTRY      NEXT DATA: FIELD");
    put(14, 0, divider);
    put(15, 0, "ARROWS: MOVE   NEXT PAGE: MORE TIMING");
    // On the last digit of the field being edited.
    cursorRow_ = 3 + fieldRow_ + 1;
    cursorColumn_ = 8 + 4 * fieldPhase_ + 3 + 1;
}

void ControllerModel::renderSpecialFunctions()
{
    char line[64];
    putClockTitle("SPECIAL FUNCTIONS");
    put(2, 0, "FUNC     1   2   3   4   5   6   7   8");
    put(3, 0, "OUTPUT");
    for (int i = 0; i < Phases; ++i) {
        std::snprintf(line, sizeof line, "%4s", specialFunctions_[i] ? "ON" : "OFF");
        put(3, 8 + 4 * i, line);
    }
    put(6, 0, "DIGIT 1-8 SWITCHES A FUNCTION");
    put(14, 0, divider);
    put(15, 0, "SUB MENU: BACK       MM: MAIN MENU");
}

void ControllerModel::renderUnitInfo()
{
    char line[64];
    putClockTitle("UNIT INFORMATION");
    put(3, 0, "MODEL      FC-8 FIELD CONTROLLER (SIM)");
    put(4, 0, "FIRMWARE   1.0");
    put(5, 0, "PROTOCOL   SNMPV1 OVER UDP");
    put(6, 0, "RINGS      2       PHASES 8");
    std::snprintf(line, sizeof line, "UP TIME    %llu S", (unsigned long long)(elapsedMs_ / 1000));
    put(7, 0, line);
    put(14, 0, divider);
    put(15, 0, "SUB MENU: BACK       MM: MAIN MENU");
}

void ControllerModel::renderHelp()
{
    putClockTitle("HELP");
    put(2, 0, "MAIN MENU  HOME      SUB MENU  BACK");
    put(3, 0, "NEXT SCRN  SCREEN    NEXT PAGE PAGE");
    put(4, 0, "NEXT DATA  FIELD     STATUS    LIVE");
    put(5, 0, "SPEC FUNC  SPECIAL FUNCTIONS");
    put(7, 0, "ARROWS MOVE THE CURSOR");
    put(8, 0, "DIGITS ENTER DATA, E STORES IT");
    put(9, 0, "CLR CANCELS AN ENTRY");
    put(14, 0, divider);
    put(15, 0, "HELP, SUB MENU OR CLR: BACK");
}
