// qz7310-collect: the counter's read-out without a window, for scheduled collection.
// The command line, the messages and the exit status; the read-out itself is
// ReadoutSession.

#include "identity.h"
#include "history_export.h"
#include "port_list.h"
#include "readout_session.h"
#include "stop_request.h"
#include "csv/durable_file.h"
#include "line/line_comm_control.h"
#include "line/port_address.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <optional>

#include <stdlib.h>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const char *const Program = "qz7310-collect";

// A file name in a message comes out as the bytes it has on disk.
void printLine(const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", Program, nativePath(text).constData());
    std::fflush(stderr);
}

[[noreturn]] void usageError(const QString &text)
{
    printLine(text);
    std::fprintf(stderr, "Try '%s --help'.\n", Program);
    std::exit(CollectStatus::Usage);
}

bool stderrIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDERR_FILENO) == 1;
#else
    return false;
#endif
}

// Records so far and the time, redrawn in place on a terminal; nothing otherwise.
class ProgressLine
{
public:
    explicit ProgressLine(const ReadoutSession &session)
        : m_session(session)
    {
        if (!stderrIsTerminal())
            return;
        QObject::connect(&m_timer, &QTimer::timeout, [this] { draw(); });
        m_timer.start(100);
    }
    ~ProgressLine() { erase(); }

    void stop()
    {
        m_timer.stop();
        erase();
    }

    // A message goes on a line of its own; the progress comes back at the next tick.
    void print(const QString &text)
    {
        erase();
        printLine(text);
    }

private:
    void draw()
    {
        const QString seconds = QString::number(m_session.elapsedMs() / 1000.0, 'f', 1);
        QString text;
        if (m_session.clearing())
            text = QStringLiteral("%1: clearing the counter, %2 s").arg(QLatin1String(Program), seconds);
        else if (m_session.waitingForFirstReply())
            text = QStringLiteral("%1: waiting for the counter on %2, %3 s")
                       .arg(QLatin1String(Program), m_session.portLabel(), seconds);
        else if (m_session.readouts() > 1)
            text = QStringLiteral("%1: reading again to compare (%2 of at most %3), %4 records, %5 s")
                       .arg(QLatin1String(Program))
                       .arg(m_session.readouts())
                       .arg(MaxReadouts)
                       .arg(m_session.records())
                       .arg(seconds);
        else
            text = QStringLiteral("%1: %2 records, %3 s").arg(QLatin1String(Program)).arg(m_session.records()).arg(seconds);
        const QByteArray bytes = text.toLocal8Bit();
        // Blanks over whatever a longer line left behind.
        const int pad = std::max(0, m_width - int(bytes.size()));
        std::fprintf(stderr, "\r%s%*s", bytes.constData(), pad, "");
        std::fflush(stderr);
        m_width = int(bytes.size());
    }
    void erase()
    {
        if (m_width == 0)
            return;
        std::fprintf(stderr, "\r%*s\r", m_width, "");
        std::fflush(stderr);
        m_width = 0;
    }

    const ReadoutSession &m_session;
    QTimer m_timer;
    int m_width = 0;
};

// SIGTERM (systemd stopping the unit, kill), SIGINT (Ctrl+C) and SIGHUP (the
// terminal gone) stop the run through the event loop, never in the middle of a write:
// the handler only passes the signal's number on through a socket pair. A second
// signal is the way out of a step that hangs (a sync on a dead disk, a store that
// does not answer): a last line, then the process ends at once. Nothing is half
// written by that: files take their names whole, a transaction not committed is
// undone by the database, and a temporary file left behind is named by the next run.
const char SecondStopCleared[] =
    "qz7310-collect: stopped at once by a second signal; CLR ALL had been sent, and any late records not "
    "yet said to be kept are in no file\n";
const char SecondStopNotCleared[] =
    "qz7310-collect: stopped at once by a second signal; CLR ALL was not sent, and the counter was not "
    "cleared\n";

[[noreturn]] void stopAtOnce(int signal)
{
    const bool cleared = StopRequest::clearWentOut();
    const char *text = cleared ? SecondStopCleared : SecondStopNotCleared;
    const size_t length = cleared ? sizeof SecondStopCleared - 1 : sizeof SecondStopNotCleared - 1;
#ifdef Q_OS_UNIX
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, "\n", 1);
    [[maybe_unused]] const ssize_t m = ::write(STDERR_FILENO, text, length);
#else
    std::fwrite(text, 1, length, stderr);
    std::fflush(stderr);
#endif
    ::_exit(CollectStatus::stoppedBy(signal));
}

class StopSignals
{
public:
    explicit StopSignals(ReadoutSession &session)
    {
#ifdef Q_OS_UNIX
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_pair) != 0)
            return;
        m_notifier = new QSocketNotifier(s_pair[1], QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, &session, [&session] {
            unsigned char signal = 0;
            if (::read(s_pair[1], &signal, 1) != 1)
                return;
            session.interrupt(signal, QString::fromLatin1(signal == SIGINT    ? "SIGINT"
                                                          : signal == SIGHUP  ? "SIGHUP"
                                                                              : "SIGTERM"));
        });
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            const int saved = errno;
            if (StopRequest::raise(signal) != 0)
                stopAtOnce(signal);
            const unsigned char byte = static_cast<unsigned char>(signal);
            [[maybe_unused]] const ssize_t n = ::write(s_pair[0], &byte, 1);
            errno = saved;
        };
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
#elif defined(Q_OS_WIN)
        s_session = &session;
        ::SetConsoleCtrlHandler(
            [](DWORD type) -> BOOL {
                if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
                    return FALSE;
                if (StopRequest::raise(SIGINT) != 0)
                    stopAtOnce(SIGINT);
                QMetaObject::invokeMethod(
                    s_session, [] { s_session->interrupt(SIGINT, QStringLiteral("Ctrl+C")); }, Qt::QueuedConnection);
                return TRUE;
            },
            TRUE);
#endif
    }
    ~StopSignals() { delete m_notifier; }

private:
#ifdef Q_OS_UNIX
    static inline int s_pair[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
#else
    static inline ReadoutSession *s_session = nullptr;
    QObject *m_notifier = nullptr;
#endif
};

// "COM1" to "COM4" (any case), a device path, or a device server's tcp://HOST:PORT.
void parsePort(const QString &text, CollectOptions &options)
{
    if (isNetworkDevice(text)) {
        if (!parseNetworkAddress(text))
            usageError(QStringLiteral("--port: '%1' is not a network line of the form tcp://HOST:PORT "
                                      "(an IPv6 address in brackets: tcp://[::1]:4001)")
                           .arg(text));
        options.device = text;
        return;
    }
    if (const int n = comPortNumber(text); n >= 1 && n <= 4) {
        options.portNumber = n;
        return;
    }
#ifdef Q_OS_WIN
    const bool path = !text.isEmpty();
#else
    const bool path = text.contains(QLatin1Char('/'));
#endif
    if (!path)
        usageError(QStringLiteral("--port: '%1' is neither COM1 to COM4 nor a device path such as /dev/ttyUSB0").arg(text));
    options.device = text;
}

// The value of --NAME as the command line gave it, byte for byte (Qt 6 would turn a
// byte that is not UTF-8 into U+FFFD): as pathFromNative keeps it. The last one
// counts, as for QCommandLineParser; `fallback` where the option is not there.
QString rawOptionValue(int argc, char **argv, const char *name, const QString &fallback)
{
#ifdef Q_OS_UNIX
    const QByteArray option = QByteArray("--") + name;
    std::optional<QByteArray> value;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == option && i + 1 < argc)
            value = QByteArray(argv[++i]);
        else if (arg.startsWith(option + '='))
            value = arg.mid(option.size() + 1);
    }
    if (value && QFile::decodeName(*value) == fallback)
        return pathFromNative(*value);
#else
    // Windows hands Qt the command line in UTF-16: nothing is lost.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    Q_UNUSED(name);
#endif
    return fallback;
}

// --output-dir: a folder, and not together with --output.
void parseOutputDir(const QCommandLineParser &parser, const QCommandLineOption &output,
                    const QCommandLineOption &outputDir, CollectOptions &options)
{
    if (!parser.isSet(outputDir))
        return;
    if (parser.isSet(output))
        usageError(QStringLiteral("--output and --output-dir do not go together"));
    options.outputDir = parser.value(outputDir);
    if (options.outputDir.isEmpty())
        usageError(QStringLiteral("--output-dir needs a folder"));
}

// A number of seconds from `least` to 3600 (fractions allowed), in milliseconds.
int millisecondsOption(const QCommandLineParser &parser, const QCommandLineOption &option, double least)
{
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (!ok || !(seconds >= least && seconds <= 3600))
        usageError(QStringLiteral("--%1: '%2' is not a number of seconds from %3 to 3600")
                       .arg(option.names().constFirst(), parser.value(option), QString::number(least)));
    return int(seconds * 1000 + 0.5);
}

// --store, --counter, --export and --since; the rest of the command line is read.
void parseStore(int argc, char **argv, const QCommandLineParser &parser, const QCommandLineOption &store,
                const QCommandLineOption &counter, CollectOptions &options)
{
    if (parser.isSet(store)) {
        QString reason;
        // A file's name byte for byte, as --output's.
        options.store = parseStoreAddress(rawOptionValue(argc, argv, "store", parser.value(store)), &reason);
        if (!options.store)
            usageError(QStringLiteral("--store: %1").arg(reason));
        if (options.store->madeAbsolute)
            printLine(QStringLiteral("--store: the file is %1").arg(options.store->text));
    }
    if (parser.isSet(counter)) {
        if (!options.store)
            usageError(QStringLiteral("--counter names the counter in a --store"));
        options.counter = parser.value(counter);
        if (options.counter.trimmed().isEmpty())
            usageError(QStringLiteral("--counter needs a name"));
    }
}

std::optional<HistoryExport> parseExport(const QCommandLineParser &parser, const QCommandLineOption &exporting,
                                         const QCommandLineOption &since, const CollectOptions &options)
{
    if (!parser.isSet(exporting)) {
        if (parser.isSet(since))
            usageError(QStringLiteral("--since goes with --export"));
        return std::nullopt;
    }
    if (!options.store || options.counter.isEmpty())
        usageError(QStringLiteral("--export needs --store URL and --counter NAME"));
    for (const char *option : {"port", "now", "clear", "output-dir", "quiet", "timeout", "max-time"})
        if (parser.isSet(QLatin1String(option)))
            usageError(QStringLiteral("--%1 does not go with --export, which reads the store, not the counter")
                           .arg(QLatin1String(option)));
    HistoryExport request;
    request.store = *options.store;
    request.counter = options.counter;
    request.output = options.output;
    request.overwrite = options.overwrite;
    if (parser.isSet(since)) {
        // The operator's day: local midnight.
        const QDate date = QDate::fromString(parser.value(since), Qt::ISODate);
        if (!date.isValid() || parser.value(since).size() != 10)
            usageError(QStringLiteral("--since: '%1' is not a date of the form YYYY-MM-DD").arg(parser.value(since)));
        request.since = date.startOfDay();
    }
    return request;
}

CollectOptions parseCommandLine(QCoreApplication &app, int argc, char **argv, bool *listPorts,
                                std::optional<HistoryExport> *history)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Reads the records of a QZ-7310 counter (%1) without a window and saves them as CSV, "
                       "for scheduled collection. Clears the counter only after two read-outs in a row are alike, byte "
                       "for byte, and complete and well formed, and that read-out is saved on disk.\n\n"
                       "Exit status: 0 done; 1 wrong usage; 2 the port could not be opened; 3 the counter "
                       "answered with an error, the read-out was incomplete or malformed, its read-outs did not agree, "
                       "the line kept talking, or records came after CLR ALL (kept in a file of their own); 4 nothing "
                       "cleared: the CSV could not be written, or the file exists and --overwrite was not "
                       "given, or the store could not be reached or written, or no place could be made for records "
                       "that may come after CLR ALL; 5 no reply at all (no stored records, or no counter on the line); "
                       "6 CLR ALL was sent and late records are only in the messages, or the store could not note "
                       "the clear; 128 + N stopped by signal N (SIGHUP, SIGINT, SIGTERM).")
            .arg(applicationTitle()));
    parser.addHelpOption();
    parser.addVersionOption();
#ifdef Q_OS_WIN
    const QString mapping = QStringLiteral("QZ7310_COMn, which may name any COM port or tcp://HOST:PORT, else the "
                                           "COM port of that name");
#else
    const QString mapping = QStringLiteral("QZ7310_COMn, else /dev/ttyS0 to /dev/ttyS3");
#endif
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("COM1 to COM4 (mapped as the window maps them: %1), a device path, "
                                                 "or a serial device server in raw TCP mode, tcp://HOST:PORT. "
                                                 "Default COM1.")
                                      .arg(mapping),
                                  QStringLiteral("P"), QStringLiteral("COM1"));
    const QCommandLineOption now(QStringLiteral("now"),
                                 QStringLiteral("Read the current values (RDD NOW) instead of the stored records (RDD ALL)."));
    const QCommandLineOption output(QStringLiteral("output"),
                                    QStringLiteral("The CSV file, written whole or not at all; an existing file "
                                                   "with content is kept unless --overwrite is given. '-' or "
                                                   "none: standard output."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption outputDir(QStringLiteral("output-dir"),
                                       QStringLiteral("Instead of --output: a new file in this folder at every run, "
                                                      "named by the local date and time, YYYY-MM-DD_HHMMSS.csv "
                                                      "(_2, _3, ... added when that name is taken); never "
                                                      "replaces a file."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption overwrite(QStringLiteral("overwrite"),
                                       QStringLiteral("Replace an existing --output file that is not empty."));
    const QCommandLineOption clear(QStringLiteral("clear"),
                                   QStringLiteral("Read the records again and compare (a third time if the two differ): "
                                                  "once two read-outs in a row are alike and saved in the --output "
                                                  "file (or the new file in --output-dir), send CLR ALL and require "
                                                  "the counter's ACK. The read-back costs one more read-out's line "
                                                  "time (4.4 s for 100 records)."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Milliseconds of silence after the last character that end a "
                                                  "reply (10 to 600000). Default %1.")
                                       .arg(CollectOptions::DefaultQuietMs),
                                   QStringLiteral("MS"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Seconds to wait for the first character of a reply (0.1 to "
                                                    "3600). Default %1.")
                                         .arg(CollectOptions::DefaultTimeoutMs / 1000),
                                     QStringLiteral("S"));
    const QCommandLineOption maxTime(QStringLiteral("max-time"),
                                     QStringLiteral("Seconds a reply may last from its first character before the "
                                                    "run gives up with \"the line kept talking\" (1 to 3600). "
                                                    "Default: twice a full read-out's line time plus the quiet time "
                                                    "(%1 s with the default quiet time).")
                                         .arg((2 * CollectOptions::LineTime100Ms + CollectOptions::DefaultQuietMs) / 1000.0),
                                     QStringLiteral("S"));
    const QCommandLineOption store(QStringLiteral("store"),
                                   QStringLiteral("Also (or, without --output and --output-dir, only) keep the run in "
                                                  "a database of every read-out: sqlite:FILE on this machine, or "
                                                  "postgresql://[USER@]HOST[:PORT]/DATABASE (the password from "
                                                  "~/.pgpass or PGPASSWORD). Committed before any clear."),
                                   QStringLiteral("URL"));
    const QCommandLineOption counter(QStringLiteral("counter"),
                                     QStringLiteral("The counter's name in --store. Default: the device its port "
                                                    "stands for."),
                                     QStringLiteral("NAME"));
    const QCommandLineOption exporting(QStringLiteral("export"),
                                       QStringLiteral("Write the --counter's records from --store, each once, as CSV "
                                                      "to --output (or standard output), and exit."));
    const QCommandLineOption since(QStringLiteral("since"),
                                   QStringLiteral("With --export: only read-outs from this local date on."),
                                   QStringLiteral("YYYY-MM-DD"));
    const QCommandLineOption list(QStringLiteral("list-ports"),
                                  QStringLiteral("List the serial devices and the COM1 to COM4 mapping, and exit."));
    parser.addOptions({port, now, output, outputDir, overwrite, clear, quiet, timeout, maxTime, store, counter,
                       exporting, since, list});
    // Unknown options and missing values: Qt's message, then exit status 1.
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    *listPorts = parser.isSet(list);

    CollectOptions options;
    parsePort(parser.value(port), options);
    options.now = parser.isSet(now);
    options.clear = parser.isSet(clear);
    options.output = parser.value(output);
    options.overwrite = parser.isSet(overwrite);
    if (parser.isSet(output) && options.output.isEmpty())
        usageError(QStringLiteral("--output needs a file name, or '-' for standard output"));
    parseOutputDir(parser, output, outputDir, options);
    options.output = rawOptionValue(argc, argv, "output", options.output);
    options.outputDir = rawOptionValue(argc, argv, "output-dir", options.outputDir);
    // Nothing is replaced in --output-dir, so there is nothing to allow.
    if (options.overwrite && !options.outputDir.isEmpty())
        usageError(QStringLiteral("--overwrite goes with --output; --output-dir never replaces a file"));
    // The records are erased only once they are kept in a file of their own (a new
    // regular file in --output-dir is one).
    parseStore(argc, argv, parser, store, counter, options);
    *history = parseExport(parser, exporting, since, options);
    if (*history)
        return options;
    // A store alone: the run goes there and nowhere else.
    options.noCsv = options.store && !parser.isSet(output) && !parser.isSet(outputDir);
    if (options.clear && options.outputDir.isEmpty() && !options.noCsv
        && (options.output.isEmpty() || options.output == QLatin1String("-")))
        usageError(QStringLiteral("--clear needs --output FILE: the counter's records are erased only once they "
                                  "are saved in a file"));
    if (options.clear && options.outputDir.isEmpty() && !options.noCsv && isStreamOrDevice(options.output))
        usageError(QStringLiteral("--clear needs --output to be a regular file, and '%1' is not one (a terminal, "
                                  "a pipe, a device or standard output keeps no records)")
                       .arg(options.output));
    // Clearing wipes the stored records; RDD NOW reads none of them, so they would be lost.
    if (options.clear && options.now)
        usageError(QStringLiteral("--clear goes with the stored records (RDD ALL), not with --now"));
    if (parser.isSet(quiet)) {
        bool ok = false;
        options.quietMs = parser.value(quiet).toInt(&ok);
        if (!ok || options.quietMs < 10 || options.quietMs > 600000)
            usageError(QStringLiteral("--quiet: '%1' is not a whole number of milliseconds from 10 to 600000")
                           .arg(parser.value(quiet)));
    }
    if (parser.isSet(timeout))
        options.timeoutMs = millisecondsOption(parser, timeout, 0.1);
    if (parser.isSet(maxTime))
        options.deadlineMs = millisecondsOption(parser, maxTime, 1);
    return options;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef Q_OS_UNIX
    // A closed pipe or a file size limit is a write that fails (exit 4), not a kill.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(Program));
    QCoreApplication::setApplicationVersion(applicationVersion());

    bool listPorts = false;
    std::optional<HistoryExport> exporting;
    const CollectOptions options = parseCommandLine(app, argc, argv, &listPorts, &exporting);
    if (listPorts) {
        std::fputs(portListText().toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? CollectStatus::Done : CollectStatus::NotWritten;
    }

    if (exporting)
        return exportHistory(*exporting, printLine);

    LineCommControl port;
    ReadoutSession session(port, options);
    ProgressLine progress(session);
    StopSignals stop(session);
    QObject::connect(&session, &ReadoutSession::message, [&progress](const QString &line) { progress.print(line); });
    QObject::connect(&session, &ReadoutSession::finished, &app, [&progress](int status) {
        progress.stop();
        QCoreApplication::exit(status);
    });
    QTimer::singleShot(0, &session, &ReadoutSession::start);
    return app.exec();
}
