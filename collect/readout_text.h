#pragma once

#include "readout_judge.h"

#include <QString>
#include <QStringList>

// The collector's English words for the judge's facts, one message line each.

// "1 record", "2 records".
QString plural(qint64 n, const char *one, const char *many);

// What is wrong with a data frame, for the middle of a line.
QString frameFaultText(const FrameFault &fault);

// What a reply held, by verdict: "2 data frames ("COMMAND OK !"), 1 ACK (...)".
QString repliesText(const FramedReply &framed, qint64 bytes);

// One doubt about a reply, for "read-out from P incomplete: ...". `portLost` is the
// line's own words for a lost line.
QString doubtText(const Doubt &doubt, const FramedReply &framed, qint64 bytes, const QString &portLost);

// Where consecutive replies first differed: "replies 1 and 2 first differ at data
// frame 5 (record 05), replies 2 and 3 at ...".
QString differencesText(const QList<Difference> &differences);

// "SIGTERM", "SIGINT", "SIGHUP"; "Ctrl+C" on Windows.
QString signalName(int signal);

// The end of a message about a run that stopped before the counter was read.
QString nothingReadText(bool clearing);

// No place for records that may come after CLR ALL: `path` the late file's name.
QString lateRoomText(const QString &path, const QString &reason);

// Another run took the --output file while the counter was read.
QString madeMeanwhileText();

// A writer's temporary file left by a run that was killed while writing it.
QString leftoverText(const QString &path, qint64 bytes);

// A late record kept nowhere but in this line: the frame whole, as it came.
QString lateFrameText(const QByteArray &frame);

// Where the late records went (`places`: "written to F", "stored in S"), or that
// they are only in the lines before.
QString lateKeptText(int late, const QStringList &places, int savedRecords, const QString &savedIn);
QString lateNowhereText(int late, const QStringList &failures);

// A stop that came before CLR ALL went out: `saved` names where the read-out is.
QString stoppedBeforeClearText(const QString &signal, const QString &saved);
// A stop noticed as the run ended: everything said before it was done.
QString stoppedAtEndText(const QString &signal);

// A refused read-out: "read-out from P incomplete: ...", or "not confirmed" when
// replies `alike` and the next were alike but unsound, or shorter than an earlier one.
QString refusalText(const QString &port, const Doubt &doubt, int alike, const QString &doubtWords);

// The counter's answer to CLR ALL; `saved` says where the read-out is.
QString clearConfirmedText();
QString clearRefusedText(const QString &replies, const QString &saved);
QString clearNotConfirmedText(const QString &what, const QString &saved);

// Frames that came after CLR ALL went out, and those of them the frame check dropped.
QString lateArrivedText(int frames, int quietMs);
QString lateRejectedText(int frames);
