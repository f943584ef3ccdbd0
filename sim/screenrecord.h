// A controller's record of a display it served, as one JSON line: {"t": wall-clock ms, then
// where it serves ("port" or "station") and its number, "cursor": [row, column] (1-based, 0 0
// when hidden), "rows": [16 strings]}.
#ifndef SIM_SCREENRECORD_H
#define SIM_SCREENRECORD_H

#include <QByteArray>

class ControllerModel;

// The model's display and cursor as compared from one record to the next.
QByteArray screenBytes(const ControllerModel &model);
QByteArray screenRecord(const ControllerModel &model, const char *place, int number);

#endif // SIM_SCREENRECORD_H
