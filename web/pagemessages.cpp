#include "pagemessages.h"

#include "keytable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The browser's names (KeyboardEvent.key) for a Qt key of the key table.
QStringList browserKeys(int qtKey)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return {QString(QChar('0' + (qtKey - Qt::Key_0)))};
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        const QChar upper('A' + (qtKey - Qt::Key_A));
        return {upper.toLower(), upper};
    }
    static const struct
    {
        int qtKey;
        const char *name;
    } named[] = {
        {Qt::Key_Space, " "},           {Qt::Key_Asterisk, "*"},       {Qt::Key_Period, "."},
        {Qt::Key_Delete, "Delete"},     {Qt::Key_Up, "ArrowUp"},       {Qt::Key_Down, "ArrowDown"},
        {Qt::Key_Left, "ArrowLeft"},    {Qt::Key_Right, "ArrowRight"}, {Qt::Key_Home, "Home"},
        {Qt::Key_PageDown, "PageDown"}, {Qt::Key_Escape, "Escape"},    {Qt::Key_End, "End"},
        {Qt::Key_Minus, "-"},           {Qt::Key_Plus, "+"},           {Qt::Key_Slash, "/"},
        {Qt::Key_Return, "Enter"},      {Qt::Key_Enter, "Enter"},      {Qt::Key_PageUp, "PageUp"},
    };
    for (const auto &n : named) {
        if (n.qtKey == qtKey)
            return {QString::fromLatin1(n.name)};
    }
    return {};
}

QJsonArray keyTableJson()
{
    static const char *gridNames[] = {"menu", "nav", "special"};
    QJsonArray keys;
    for (const KeyTable::Key &key : KeyTable::keys) {
        QStringList keyboard;
        if (key.shortcut)
            keyboard += browserKeys(key.shortcut);
        for (const KeyTable::KeyboardKey &k : KeyTable::keyboardKeys) {
            if (k.code == key.code)
                keyboard += browserKeys(k.qtKey);
        }
        keyboard.removeDuplicates();
        keys.append(QJsonObject{
            {QStringLiteral("code"), key.code},
            {QStringLiteral("name"), QString::fromLatin1(key.name)},
            {QStringLiteral("caption"), QString::fromLatin1(key.caption)},
            {QStringLiteral("grid"), QString::fromLatin1(gridNames[key.grid])},
            {QStringLiteral("row"), key.row},
            {QStringLiteral("column"), key.column},
            {QStringLiteral("keyboard"), QJsonArray::fromStringList(keyboard)},
        });
    }
    return keys;
}

} // namespace

namespace PageMessages {

QByteArray hello(const QString &user, Role role, const QVector<ControllerConfig> &controllers)
{
    static const QJsonArray keys = keyTableJson();
    QJsonArray list;
    for (const ControllerConfig &c : controllers) {
        list.append(QJsonObject{{QStringLiteral("id"), c.id},
                                {QStringLiteral("name"), c.name},
                                {QStringLiteral("group"), c.group}});
    }
    return compact({{QStringLiteral("type"), QStringLiteral("hello")},
                    {QStringLiteral("user"), user},
                    {QStringLiteral("role"), UserStore::roleName(role)},
                    {QStringLiteral("controllers"), list},
                    {QStringLiteral("keys"), keys}});
}

QByteArray screen(const QString &controller, const ControllerSnapshot &snapshot)
{
    QJsonArray rows;
    for (const auto &row : snapshot.rows) {
        QString line(ControllerSnapshot::Columns, QLatin1Char(' '));
        // Controllers speak ASCII; anything else shows as a blank rather than garbage.
        for (int c = 0; c < ControllerSnapshot::Columns; ++c) {
            const unsigned char ch = static_cast<unsigned char>(row[c]);
            if (ch >= 0x20 && ch < 0x7f)
                line[c] = QLatin1Char(char(ch));
        }
        rows.append(line);
    }
    return compact({{QStringLiteral("type"), QStringLiteral("screen")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("rows"), rows},
                    {QStringLiteral("cursor"), QJsonArray{snapshot.cursorRow, snapshot.cursorColumn}},
                    {QStringLiteral("figure"), snapshot.figure}});
}

QByteArray state(const QString &controller, const LinkWords &words)
{
    return compact({{QStringLiteral("type"), QStringLiteral("state")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("text"), words.text},
                    {QStringLiteral("kind"), words.kind}});
}

QByteArray control(const QString &controller, const QString &holder, bool yours)
{
    return compact({{QStringLiteral("type"), QStringLiteral("control")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("holder"), holder},
                    {QStringLiteral("yours"), yours}});
}

QByteArray keys(const QString &controller, const QVector<AuditEntry> &recent)
{
    QJsonArray list;
    for (const AuditEntry &e : recent) {
        list.append(QJsonObject{{QStringLiteral("time"), e.time.toString(Qt::ISODate)},
                                {QStringLiteral("user"), e.user},
                                {QStringLiteral("key"), e.keyName},
                                {QStringLiteral("outcome"), e.outcome}});
    }
    return compact({{QStringLiteral("type"), QStringLiteral("keys")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("keys"), list}});
}

QByteArray refused(const QString &controller, const QString &message)
{
    return compact({{QStringLiteral("type"), QStringLiteral("refused")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("message"), message}});
}

QByteArray error(const QString &message)
{
    return compact({{QStringLiteral("type"), QStringLiteral("error")},
                    {QStringLiteral("message"), message}});
}

} // namespace PageMessages
