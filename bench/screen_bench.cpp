// The window program on a real X server (Xvfb), fed the line as a UART hands it over:
// one byte every 1.04 ms from a pseudo-terminal for a fixed time. What that costs the
// program: CPU in per cent of a core, and wakeups (voluntary and involuntary context
// switches of all its threads) per received byte; and its wakeups on a quiet line.

#include "bench_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int FeedSeconds = 10;
constexpr int BytesPerSecond = 960; // 9600 baud, ten bits a character
constexpr int QuietSeconds = 2;

// utime + stime of every thread of the process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Context switches summed over the threads of a process. Threads that end in between
// keep the last count seen, so poll now and then.
class Switches
{
public:
    explicit Switches(qint64 pid)
        : m_pid(pid)
    {
        m_base = read();
        m_last = m_base;
    }

    void poll()
    {
        const QMap<qint64, qint64> now = read();
        for (auto it = now.begin(); it != now.end(); ++it)
            m_last[it.key()] = it.value();
    }

    qint64 delta()
    {
        poll();
        qint64 sum = 0;
        for (auto it = m_last.begin(); it != m_last.end(); ++it)
            sum += it.value() - m_base.value(it.key(), 0);
        return sum;
    }

private:
    QMap<qint64, qint64> read() const
    {
        QMap<qint64, qint64> counts;
        const QString task = QStringLiteral("/proc/%1/task").arg(m_pid);
        for (const QString &tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(task + QLatin1Char('/') + tid + QStringLiteral("/status"));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            qint64 n = 0;
            for (const QByteArray &line : f.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches") || line.startsWith("nonvoluntary_ctxt_switches"))
                    n += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
            counts[tid.toLongLong()] = n;
        }
        return counts;
    }

    qint64 m_pid;
    QMap<qint64, qint64> m_base, m_last;
};

bool holdsDevice(qint64 pid, const QString &device)
{
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QFileInfo &fd : QDir(fds).entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget() == device)
            return true;
    }
    return false;
}

void stopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(2000);
    }
}

struct ScreenRig
{
    QTemporaryDir dir;
    QProcess xserver;
    QProcess program;
    QString display;
    int master = -1;
    int slave = -1; // held, so the queue the program reads from can be looked at
    QString device;
    QString error;

    ~ScreenRig()
    {
        stopProcess(program);
        stopProcess(xserver);
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }

    QProcessEnvironment displayEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &key : env.keys()) {
            if (key.startsWith(QLatin1String("QT_")) || key.startsWith(QLatin1String("QZ7310_")))
                env.remove(key);
        }
        // No session bus: the same threads on every machine.
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("DISPLAY"), display);
        return env;
    }

    // Output of xdotool on the rig's display; false when it failed or took too long.
    bool xdotool(const QStringList &args, QByteArray *out = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(displayEnvironment());
        p.start(QStringLiteral("xdotool"), args);
        if (!p.waitForFinished(10000)) {
            stopProcess(p);
            return false;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    bool start()
    {
        const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/qz7310");
        for (const char *tool : {"Xvfb", "xdotool"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                error = QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
                return false;
            }
        }

        // -displayfd: the server picks a free display and names it on its output.
        xserver.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x1024x24",
                                               "-nolisten", "tcp", "-noreset"});
        while (!xserver.canReadLine() && xserver.waitForReadyRead(10000)) {
        }
        const QByteArray number = xserver.readLine().trimmed();
        if (number.isEmpty()) {
            error = QStringLiteral("Xvfb did not start");
            return false;
        }
        display = QLatin1Char(':') + QString::fromLatin1(number);

        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            error = QStringLiteral("no pseudo-terminal");
            return false;
        }
        device = QString::fromLocal8Bit(ptsname(master));
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        termios raw{};
        for (int fd : {master, slave}) {
            if (fd >= 0 && tcgetattr(fd, &raw) == 0) {
                cfmakeraw(&raw);
                tcsetattr(fd, TCSANOW, &raw);
            }
        }

        QProcessEnvironment env = displayEnvironment();
        const QString home = dir.filePath(QStringLiteral("home"));
        QDir().mkpath(home + QStringLiteral("/runtime"));
        QFile::setPermissions(home + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_QPA_PLATFORMTHEME"), QString());
        env.insert(QStringLiteral("QZ7310_COM1"), device);
        this->program.setProcessEnvironment(env);
        this->program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        this->program.setStandardOutputFile(QProcess::nullDevice());
        this->program.start(program, QStringList());
        if (!this->program.waitForStarted(5000)) {
            error = QStringLiteral("cannot start %1").arg(program);
            return false;
        }

        // Past the splash window, "決定" in the port dialog, which reopens COM1.
        QByteArray found;
        QDeadlineTimer deadline(30000);
        while (!xdotool({"search", "--onlyvisible", "--name", "^COM PORT$"}, &found)) {
            if (deadline.hasExpired() || this->program.state() == QProcess::NotRunning) {
                error = QStringLiteral("the port dialog did not come up");
                return false;
            }
            QThread::msleep(100);
        }
        const QString dialog = QString::fromLatin1(found.split('\n').value(0));
        xdotool({"windowfocus", "--sync", dialog});
        xdotool({"key", "Return"});
        while (xdotool({"search", "--onlyvisible", "--name", "^COM PORT$"})) {
            if (deadline.hasExpired()) {
                error = QStringLiteral("the port dialog did not close");
                return false;
            }
            QThread::msleep(100);
        }
        while (!holdsDevice(this->program.processId(), device)) {
            if (deadline.hasExpired()) {
                error = QStringLiteral("COM1 (%1) did not open").arg(device);
                return false;
            }
            QThread::msleep(50);
        }
        QThread::sleep(1); // start-up's last paints and the splash's threads settle
        return true;
    }

    int waiting() const
    {
        int n = 0;
        return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
    }
};

void BM_WindowBytesOnX(benchmark::State &st)
{
    ScreenRig rig;
    if (!rig.start()) {
        st.SkipWithError(rig.error.toStdString().c_str());
        return;
    }
    const qint64 pid = rig.program.processId();
    const QByteArray stream = readoutStream(100);
    const qint64 bytes = qint64(FeedSeconds) * BytesPerSecond;
    const long period = 1'000'000'000L / BytesPerSecond;

    for (auto _ : st) {
        // A quiet line first: nothing should run.
        Switches quiet(pid);
        QThread::sleep(QuietSeconds);
        const double idlePerSecond = double(quiet.delta()) / QuietSeconds;

        Switches switches(pid);
        const double cpu0 = cpuSeconds(pid);
        timespec due{};
        clock_gettime(CLOCK_MONOTONIC, &due);
        for (qint64 i = 0; i < bytes; ++i) {
            due.tv_nsec += period;
            if (due.tv_nsec >= 1'000'000'000L) {
                due.tv_nsec -= 1'000'000'000L;
                ++due.tv_sec;
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
            const char c = stream.at(i % stream.size());
            if (::write(rig.master, &c, 1) != 1) {
                st.SkipWithError("cannot write to the pseudo-terminal");
                return;
            }
            if (i % 480 == 0)
                switches.poll();
        }
        const double cpu = cpuSeconds(pid) - cpu0;
        const qint64 wakeups = switches.delta();

        // The program kept up: what was written has been read.
        QDeadlineTimer drained(2000);
        while (rig.waiting() != 0 && !drained.hasExpired())
            QThread::msleep(10);
        if (rig.waiting() != 0 || rig.program.state() != QProcess::Running) {
            st.SkipWithError("the window did not take every byte");
            return;
        }

        st.SetIterationTime(FeedSeconds);
        notes().bytesCpuPct = 100.0 * cpu / FeedSeconds;
        notes().bytesWakeups = double(wakeups) / double(bytes);
        notes().bytesIdleWakeups = idlePerSecond;
        st.counters["cpu_pct"] = notes().bytesCpuPct;
        st.counters["wakeups_per_byte"] = notes().bytesWakeups;
        st.counters["idle_wakeups_per_s"] = idlePerSecond;
    }
    st.SetLabel("qz7310 on Xvfb, one byte every 1.04 ms");
}

} // namespace

void registerScreenBenchmark()
{
    benchmark::RegisterBenchmark("BM_WindowBytesOnX", BM_WindowBytesOnX)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}
