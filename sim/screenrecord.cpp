#include "screenrecord.h"

#include "controllermodel.h"

#include <QDateTime>

QByteArray screenBytes(const ControllerModel &model)
{
    QByteArray screen;
    for (int r = 0; r < ControllerModel::Rows; ++r)
        screen.append(model.rowText(r), ControllerModel::Columns);
    return screen + char(model.cursorRow()) + QByteArray(1, char(model.cursorColumn()));
}

QByteArray screenRecord(const ControllerModel &model, const char *place, int number)
{
    QByteArray line = "{\"t\":" + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) +
                      ",\"" + place + "\":" + QByteArray::number(number) + ",\"cursor\":[" +
                      QByteArray::number(model.cursorRow()) + ',' +
                      QByteArray::number(model.cursorColumn()) + "],\"rows\":[";
    for (int r = 0; r < ControllerModel::Rows; ++r) {
        line += r ? ",\"" : "\"";
        for (const char c : QByteArray(model.rowText(r), ControllerModel::Columns)) {
            if (c == '"' || c == '\\')
                line += '\\';
            line += c;
        }
        line += '"';
    }
    return line + "]}";
}
