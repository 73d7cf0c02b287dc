#include "table/counter_record.h"

namespace {

bool allDigits(QByteArrayView text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.isEmpty();
}

bool isControl(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// Field k when it is whole and all digits.
bool wholeDigits(QByteArrayView frame, int k, QByteArrayView *text)
{
    *text = recordField(frame, k);
    return text->size() == RecordFields[k].length && allDigits(*text);
}

} // namespace

QByteArrayView recordField(QByteArrayView frame, int k)
{
    const qsizetype start = RecordFields[k].position - 1;
    if (start >= frame.size())
        return {};
    return frame.sliced(start, std::min<qsizetype>(RecordFields[k].length, frame.size() - start));
}

QByteArray recordNumberField(QByteArrayView frame)
{
    return recordField(frame, 0).toByteArray();
}

QString readableRecordNumber(QByteArrayView frame)
{
    QByteArrayView number;
    return wholeDigits(frame, 0, &number) ? QString::fromLatin1(number) : QString();
}

FrameFault frameFault(QByteArrayView frame, bool controls)
{
    FrameFault fault;
    if (frame.size() < MinFrameLength) {
        fault.kind = FrameFault::Kind::Short;
        fault.length = int(frame.size());
        return fault;
    }
    for (int k = 0; k < RecordFieldCount; ++k) {
        QByteArrayView text;
        if (!wholeDigits(frame, k, &text)) {
            fault.kind = FrameFault::Kind::Field;
            fault.field = k;
            fault.text = text.toByteArray();
            return fault;
        }
    }
    if (controls) {
        for (qsizetype i = 1; i + 1 < frame.size(); ++i) {
            if (isControl(frame[i])) {
                fault.kind = FrameFault::Kind::Control;
                fault.position = int(i + 1);
                fault.control = frame[i];
                return fault;
            }
        }
    }
    return fault;
}

RecordValues recordValues(QByteArrayView frame)
{
    RecordValues record;
    for (int k = 0; k < RecordFieldCount; ++k) {
        QByteArrayView text;
        const qint64 value = wholeDigits(frame, k, &text) ? text.toLongLong() : -1;
        if (k == 0)
            record.number = value == 0 ? RecordsPerCounter : int(value);
        else
            record.values << value;
    }
    return record;
}
