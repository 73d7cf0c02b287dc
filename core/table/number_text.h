#pragma once

#include <QByteArrayView>
#include <QString>

// Reads the leading number of a received field the lenient way (blanks, tabs and
// line feeds skipped anywhere; optional sign; digits with at most one point; stops
// at the first character that cannot continue the number; nothing readable is 0)
// and returns it as plain decimal text: no blank, no leading zeros, no plus sign,
// "-" only for a negative value, fraction digits without trailing zeros, "." as the
// separator. Works on the digits themselves, so no precision is ever lost.
QString plainNumberText(QByteArrayView field);
