#pragma once

#include <QString>
#include <QStringView>

#include <cstdio>

// A violated property stops the run where libFuzzer records the input.
#define QZ_CHECK(cond)                                                             \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,  \
                         #cond);                                                   \
            __builtin_trap();                                                      \
        }                                                                          \
    } while (0)

// The number text the table shows: -?(0|[1-9][0-9]*)(\.[0-9]*[1-9])? and never "-0".
// Written out by hand, independent of the code that produces it.
inline bool isPlainDecimal(QStringView s)
{
    auto digit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    qsizetype i = 0;
    const qsizetype n = s.size();
    const bool negative = n > 0 && s[0] == u'-';
    if (negative)
        ++i;
    if (i >= n || !digit(s[i]))
        return false;
    if (s[i] == u'0') {
        ++i;
    } else {
        while (i < n && digit(s[i]))
            ++i;
    }
    if (i < n) {
        if (s[i] != u'.')
            return false;
        ++i;
        if (i >= n)
            return false;
        for (qsizetype k = i; k < n; ++k)
            if (!digit(s[k]))
                return false;
        if (s[n - 1] == u'0')
            return false;
    }
    return !(negative && s.mid(1) == u"0");
}
