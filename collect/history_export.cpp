#include "history_export.h"

#include "port_messages.h"
#include "readout_judge.h"
#include "readout_store.h"
#include "readout_text.h"
#include "csv/durable_file.h"

#include <QDir>
#include <QFile>

#include <cstdio>

QByteArray csvOfFrames(const QList<QByteArray> &frames)
{
    constexpr int TableRecords = 100;
    QByteArray csv;
    for (qsizetype first = 0; first < frames.size(); first += TableRecords)
        csv += csvOfReply(frames.mid(first, TableRecords).join());
    return csv;
}

int exportHistory(const HistoryExport &request, const std::function<void(const QString &)> &say)
{
    ReadoutStore store(request.store);
    QString reason;
    QList<QByteArray> frames;
    bool known = false;
    if (!store.open(&reason) || !store.records(request.counter, request.since, &frames, &known, &reason)) {
        say(QStringLiteral("cannot read the store %1: %2; nothing was written").arg(request.store.text, reason));
        return 4;
    }
    if (!known) {
        say(QStringLiteral("the store %1 holds no counter named '%2'; nothing was written")
                .arg(request.store.text, request.counter));
        return 5;
    }
    const QByteArray csv = csvOfFrames(frames);
    const bool toStdout = request.output.isEmpty() || request.output == QLatin1String("-");
    const QString target = toStdout ? QStringLiteral("standard output") : QDir::toNativeSeparators(request.output);
    if (toStdout) {
        if (std::fwrite(csv.constData(), 1, size_t(csv.size()), stdout) != size_t(csv.size()) || std::fflush(stdout) != 0) {
            say(QStringLiteral("cannot write %1").arg(target));
            return 4;
        }
    } else {
        const FileWriteFailure failed =
            writeFileDurably(request.output, csv, request.overwrite ? ReplaceFile::Always : ReplaceFile::OnlyEmpty);
        if (!failed.ok()) {
            say(QStringLiteral("cannot write %1: %2").arg(target, fileFailureText(failed)));
            return 4;
        }
    }
    say(QStringLiteral("%1 of counter '%2' written to %3")
            .arg(plural(int(frames.size()), "record", "records"), request.counter, target));
    return 0;
}
