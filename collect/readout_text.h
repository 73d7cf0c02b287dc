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
