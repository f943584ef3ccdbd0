#include "metrics.h"

#include <charconv>
#include <cstdio>

namespace {

// A label value: backslash, double quote and line feed escaped, nothing else.
QByteArray labelValue(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    if (utf8.indexOf('\\') < 0 && utf8.indexOf('"') < 0 && utf8.indexOf('\n') < 0)
        return utf8;
    QByteArray out;
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// Appends in place: a city's scrape is thousands of lines, built on the network thread.
class Writer
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        current = name;
        text.append("# HELP ").append(name).append(' ').append(help);
        text.append("\n# TYPE ").append(name).append(' ').append(type).append('\n');
    }
    // labels, and more appended to them when given ("state=\"silent\"" and the like).
    void sample(const QByteArray &labels, double value, const char *more = nullptr)
    {
        // The shortest text that reads back as the same double: 0.714, not 0.71399999999999997.
        char number[32];
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        line(labels, more, number, int(end - number));
    }
    void sample(const QByteArray &labels, uint64_t value, const char *more = nullptr)
    {
        char number[24];
        const auto end = std::to_chars(number, number + sizeof number, value).ptr;
        line(labels, more, number, int(end - number));
    }
    // A family of one series without labels.
    void single(const char *name, const char *type, const char *help, double value)
    {
        family(name, type, help);
        sample(QByteArray(), value);
    }
    QByteArray text;

private:
    void line(const QByteArray &labels, const char *more, const char *number, int length)
    {
        text.append(current);
        if (!labels.isEmpty() || more) {
            text.append('{').append(labels);
            if (more)
                text.append(labels.isEmpty() ? "" : ",").append(more);
            text.append('}');
        }
        text.append(' ').append(number, length).append('\n');
    }

    const char *current = "";
};

QByteArray controllerLabel(const ControllerFigures &c)
{
    return "controller=\"" + labelValue(c.id) + '"';
}

} // namespace

QByteArray formatMetrics(const QVector<ControllerFigures> &controllers,
                         const QVector<LineSnapshot> &lines, const ServerFigures &server,
                         const ProcessFigures &process)
{
    Writer w;
    // Each series of a controller is about 90 bytes; there are 16 of them.
    w.text.reserve(4096 + controllers.size() * 16 * 96);
    QVector<QByteArray> labels;
    labels.reserve(controllers.size());
    for (const ControllerFigures &c : controllers)
        labels.append(controllerLabel(c));
    w.family("frontpanel_controller_info", "gauge",
             "A configured controller, its name, group and address as labels.");
    for (int i = 0; i < controllers.size(); ++i) {
        const ControllerFigures &c = controllers[i];
        const QByteArray more = "name=\"" + labelValue(c.name) + "\",group=\"" +
                                labelValue(c.group) + "\",address=\"" + labelValue(c.address) + '"';
        w.sample(labels[i], uint64_t(1), more.constData());
    }
    w.family("frontpanel_controller_state", "gauge",
             "1 for the state the controller's link is in, 0 for the others.");
    QByteArray stateLabels[LinkStateCount];
    for (int s = 0; s < LinkStateCount; ++s)
        stateLabels[s] = QByteArray("state=\"") + linkStateName(LinkState(s)) + '"';
    for (int i = 0; i < controllers.size(); ++i) {
        for (int s = 0; s < LinkStateCount; ++s)
            w.sample(labels[i], uint64_t(controllers[i].state == LinkState(s)),
                     stateLabels[s].constData());
    }
    w.family("frontpanel_controller_last_reply_age_seconds", "gauge",
             "Seconds since the controller's last accepted reply (absent before the first).");
    for (int i = 0; i < controllers.size(); ++i) {
        if (controllers[i].lastReplyAgeSeconds >= 0)
            w.sample(labels[i], controllers[i].lastReplyAgeSeconds);
    }
    struct Gauge
    {
        const char *name, *help;
        double ControllerFigures::*field;
        // Absent where the figure is negative (not known yet).
        bool onlyKnown;
    };
    static const Gauge gauges[] = {
        {"frontpanel_controller_round_trip_seconds",
         "Smoothed round trip of the controller's link (absent before its first reply).",
         &ControllerFigures::roundTripSeconds, true},
        {"frontpanel_controller_round_trip_variation_seconds",
         "Variation of the link's round trip, as TCP estimates it (absent before the first reply).",
         &ControllerFigures::roundTripVariationSeconds, true},
        {"frontpanel_controller_polls_lost_ratio",
         "Share of the link's last 64 polls that went unanswered.", &ControllerFigures::lostRatio,
         false},
    };
    for (const Gauge &gauge : gauges) {
        w.family(gauge.name, "gauge", gauge.help);
        for (int i = 0; i < controllers.size(); ++i)
            if (!gauge.onlyKnown || controllers[i].*gauge.field >= 0)
                w.sample(labels[i], controllers[i].*gauge.field);
    }
    struct Counter
    {
        const char *name, *help;
        uint64_t LinkCounters::*field;
    };
    static const Counter counters[] = {
        {"frontpanel_controller_requests_total", "Requests sent to the controller.",
         &LinkCounters::requests},
        {"frontpanel_controller_replies_accepted_total", "Replies accepted from the controller.",
         &LinkCounters::accepted},
        {"frontpanel_controller_replies_refused_total",
         "Datagrams from the controller that the reply rules refused.",
         &LinkCounters::refused},
        {"frontpanel_controller_no_answer_total", "Polls the controller did not answer in time.",
         &LinkCounters::noAnswer},
        {"frontpanel_controller_late_replies_total",
         "Replies that came after their wait and were still used.", &LinkCounters::late},
        {"frontpanel_controller_foreign_datagrams_total",
         "Datagrams on the controller's link from any other address or port, dropped.",
         &LinkCounters::foreign},
        {"frontpanel_controller_keys_sent_total", "Keys sent to the controller.",
         &LinkCounters::keysSent},
        {"frontpanel_controller_keys_answered_total", "Keys the controller answered.",
         &LinkCounters::keysAnswered},
    };
    for (const Counter &counter : counters) {
        w.family(counter.name, "counter", counter.help);
        for (int i = 0; i < controllers.size(); ++i)
            w.sample(labels[i], controllers[i].counters.*counter.field);
    }

    // The serial lines, by name; a city without any has none of these families.
    QVector<QByteArray> lineLabels;
    for (const LineSnapshot &line : lines)
        lineLabels.append("line=\"" + labelValue(line.name) + '"');
    struct LineGauge
    {
        const char *name, *help;
        int LineSnapshot::*field;
    };
    static const LineGauge lineGauges[] = {
        {"frontpanel_line_baud", "The serial line's speed in bits a second.",
         &LineSnapshot::speed},
        {"frontpanel_line_stations", "Controllers on the serial line.", &LineSnapshot::stations},
        {"frontpanel_line_stations_answering", "Controllers on the line that answer now.",
         &LineSnapshot::answering},
    };
    struct LineCounter
    {
        const char *name, *help;
        quint64 LineSnapshot::*field;
        const char *more;
    };
    static const LineCounter lineCounters[] = {
        {"frontpanel_line_bytes_total", "Bytes on the serial line, by direction.",
         &LineSnapshot::bytesIn, "direction=\"in\""},
        {nullptr, nullptr, &LineSnapshot::bytesOut, "direction=\"out\""},
        {"frontpanel_line_frames_total", "PMPP frames on the line (in: with a right FCS).",
         &LineSnapshot::framesIn, "direction=\"in\""},
        {nullptr, nullptr, &LineSnapshot::framesOut, "direction=\"out\""},
        {"frontpanel_line_fcs_errors_total", "Frames from the line with a wrong FCS, dropped.",
         &LineSnapshot::fcsErrors, nullptr},
        {"frontpanel_line_malformed_frames_total",
         "Frames from the line too short or without a closing flag in reach, dropped.",
         &LineSnapshot::malformed, nullptr},
        {"frontpanel_line_other_station_frames_total",
         "Frames from the line for a station it does not have, dropped.",
         &LineSnapshot::otherStation, nullptr},
        {"frontpanel_line_reopened_total", "Times the line was opened again after it failed.",
         &LineSnapshot::reopened, nullptr},
    };
    if (!lines.isEmpty()) {
        w.family("frontpanel_line_up", "gauge", "1 while the serial line is open, else 0.");
        for (int i = 0; i < lines.size(); ++i)
            w.sample(lineLabels[i], uint64_t(lines[i].open));
        for (const LineGauge &gauge : lineGauges) {
            w.family(gauge.name, "gauge", gauge.help);
            for (int i = 0; i < lines.size(); ++i)
                w.sample(lineLabels[i], uint64_t(lines[i].*gauge.field));
        }
        for (const LineCounter &counter : lineCounters) {
            if (counter.name)
                w.family(counter.name, "counter", counter.help);
            for (int i = 0; i < lines.size(); ++i)
                w.sample(lineLabels[i], uint64_t(lines[i].*counter.field), counter.more);
        }
    }

    struct Single
    {
        const char *name, *type, *help;
        double value;
    };
    const Single server1[] = {
        {"frontpanel_sessions", "gauge", "Login sessions.", double(server.sessions)},
        {"frontpanel_pages_open", "gauge", "Pages connected by WebSocket.", double(server.pages)},
        {"frontpanel_connections_open", "gauge", "Client connections, HTTP and WebSocket.",
         double(server.connections)},
        {"frontpanel_connections_max", "gauge",
         "Client connections the server takes, from the descriptors it has.",
         double(server.connectionCap)},
        {"frontpanel_connections_closed_for_room_total", "counter",
         "Connections closed before their request was whole to make room for a new one.",
         double(server.connectionsClosedForRoom)},
    };
    const Single server2[] = {
        {"frontpanel_websocket_upgrades_refused_total", "counter",
         "WebSocket upgrades refused (no session, foreign origin, wrong path).",
         double(server.refusedUpgrades)},
        {"frontpanel_login_failures_total", "counter", "Logins refused.",
         double(server.loginFailures)},
        {"frontpanel_leading", "gauge",
         "1 when this server leads and sends keys (a server alone always does); 0 while it "
         "waits for the other of its pair.",
         server.leading ? 1.0 : 0.0},
        {"frontpanel_audit_lines_total", "counter", "Lines written to the audit log.",
         double(server.auditLines)},
        {"frontpanel_audit_write_failures_total", "counter",
         "Audit lines that could not be written; a key whose line failed was not sent.",
         double(server.auditWriteFailures)},
        {"frontpanel_stranger_datagrams_total", "counter",
         "UDP datagrams to the controllers' shared socket from no configured controller, dropped.",
         double(server.strangerDatagrams)},
        {"frontpanel_recording_events_total", "counter",
         "Display changes and keys written to the recordings.", double(server.recordingEvents)},
        {"frontpanel_recording_write_failures_total", "counter",
         "Display changes and keys that could not be written to the recordings, dropped.",
         double(server.recordingWriteFailures)},
        {"frontpanel_recording_bytes", "gauge", "Size of the recordings database on disk.",
         double(server.recordingBytes)},
        {"process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.",
         process.cpuSeconds},
        {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
         double(process.residentBytes)},
        {"process_open_fds", "gauge", "Number of open file descriptors.",
         double(process.openDescriptors)},
        {"process_max_fds", "gauge", "Maximum number of open file descriptors.",
         double(process.maxDescriptors)},
        {"process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.", process.startTimeSeconds},
    };
    for (const Single &one : server1)
        w.single(one.name, one.type, one.help, one.value);
    w.family("frontpanel_http_responses_total", "counter", "HTTP answers by status code.");
    for (int code = 100; server.responses && code < 600; ++code) {
        if (server.responses[code])
            w.sample(QByteArray(), server.responses[code],
                     ("code=\"" + QByteArray::number(code) + '"').constData());
    }
    w.family("frontpanel_logins_held_total", "counter",
             "Logins answered 429 by a brake on password guessing: per user at one address, per "
             "address, or per user from every address but the user's known browsers.");
    const std::pair<const char *, uint64_t> brakes[] = {
        {"user_at_address", server.heldUserAtAddress},
        {"address", server.heldAddress},
        {"user", server.heldUser}};
    for (const auto &brake : brakes)
        w.sample(QByteArray(), brake.second,
                 (QByteArray("brake=\"") + brake.first + '"').constData());
    for (const Single &one : server2)
        w.single(one.name, one.type, one.help, one.value);
    return w.text;
}
