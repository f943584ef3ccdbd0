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
                    {QStringLiteral("keys"), keys},
                    {QStringLiteral("display"), QJsonObject{{QStringLiteral("rows"), PanelDisplay::Rows},
                                                            {QStringLiteral("columns"),
                                                             PanelDisplay::Columns}}}});
}

QByteArray displayText(const ControllerSnapshot &snapshot)
{
    constexpr int Columns = ControllerSnapshot::Columns;
    QByteArray text(ControllerSnapshot::Rows * Columns, ' ');
    for (int r = 0; r < ControllerSnapshot::Rows; ++r) {
        for (int c = 0; c < Columns; ++c) {
            // Controllers speak ASCII; anything else shows as a blank rather than garbage.
            const unsigned char ch = static_cast<unsigned char>(snapshot.rows[r][c]);
            if (ch >= 0x20 && ch < 0x7f)
                text[r * Columns + c] = char(ch);
        }
    }
    return text;
}

QByteArray screen(const QString &controller, const QByteArray &display, int cursorRow,
                  int cursorColumn, const uint32_t *changedRows, int cursorRowBefore,
                  int cursorColumnBefore)
{
    constexpr int Columns = ControllerSnapshot::Columns;
    auto row = [&](const QByteArray &from, int r) {
        return QString::fromLatin1(from.constData() + r * Columns, Columns);
    };
    QJsonObject message{{QStringLiteral("type"), QStringLiteral("screen")},
                        {QStringLiteral("controller"), controller},
                        {QStringLiteral("cursor"), QJsonArray{cursorRow, cursorColumn}}};
    if (!changedRows || display.size() != PanelDisplay::Cells) {
        QJsonArray rows;
        for (int r = 0; r < ControllerSnapshot::Rows; ++r)
            rows.append(row(display, r));
        message.insert(QStringLiteral("rows"), rows);
        return compact(message);
    }
    QJsonArray changed;
    for (int r = 0; r < ControllerSnapshot::Rows; ++r) {
        if (*changedRows & (uint32_t(1) << r))
            changed.append(QJsonArray{r, row(display, r)});
    }
    if (changed.isEmpty() && cursorRow == cursorRowBefore && cursorColumn == cursorColumnBefore)
        return QByteArray();
    message.insert(QStringLiteral("changed"), changed);
    return compact(message);
}

QByteArray state(const QString &controller, const LinkWords &words)
{
    return compact({{QStringLiteral("type"), QStringLiteral("state")},
                    {QStringLiteral("controller"), controller},
                    {QStringLiteral("text"), words.text},
                    {QStringLiteral("kind"), QLatin1String(linkStateName(words.state))},
                    {QStringLiteral("figure"), words.figure}});
}

QByteArray summary(const QByteArray &kinds)
{
    int answering = 0, silent = 0, refused = 0, waiting = 0;
    for (const char k : kinds) {
        answering += k == 'a';
        silent += k == 's';
        refused += k == 'r';
        waiting += k == 'w';
    }
    return compact({{QStringLiteral("type"), QStringLiteral("summary")},
                    {QStringLiteral("kinds"), QString::fromLatin1(kinds)},
                    {QStringLiteral("counts"), QJsonObject{{QStringLiteral("answering"), answering},
                                                           {QStringLiteral("silent"), silent},
                                                           {QStringLiteral("refused"), refused},
                                                           {QStringLiteral("waiting"), waiting}}}});
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
