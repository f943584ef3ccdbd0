// The server's log lines, on standard error. Under systemd, when standard error is the journal,
// each line starts with its syslog priority ("<3>" and so on), so that the journal keeps the
// levels and `journalctl -p warning` finds what matters; on a terminal or in a file the prefix
// would only be noise and is left out.
#ifndef SERVERLOG_H
#define SERVERLOG_H

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// One line, "frontpanel-web: " and the formatted text; the newline is added.
void serverLog(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Whether standard error is the journal's stream, as JOURNAL_STREAM (device:inode) tells.
bool logsToJournal();

#endif // SERVERLOG_H
