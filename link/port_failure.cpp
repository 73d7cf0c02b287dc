#include "link/port_failure.h"
#include "link/serial_comm_control.h"

#include <QFileInfo>
#include <QtGlobal>
#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#endif

namespace {

QString withSystemText(const QString &what, const QString &systemText)
{
    return systemText.isEmpty() ? what : what + QStringLiteral("（%1）").arg(systemText);
}

} // namespace

QString PortFailureText(const PortFailure &f)
{
    using R = PortFailure::Reason;
    if (f.reason == R::None)
        return {};
    const QString where = QStringLiteral("COM%1 (%2): ").arg(QString::number(f.port), f.device);
    switch (f.reason) {
    case R::NoDevice:
        return where + withSystemText(QStringLiteral("デバイスがありません"), f.systemText)
            + QStringLiteral("。COM%1 に別のデバイスを使うには、環境変数 QZ7310_COM%1 にそのパスを"
                             "設定して起動してください（例: QZ7310_COM%1=/dev/ttyUSB0）。")
                  .arg(f.port);
    case R::PermissionDenied:
        return where + withSystemText(QStringLiteral("アクセスが拒否されました"), f.systemText)
            + (f.group.isEmpty()
                   ? QStringLiteral("。このユーザーにはデバイスを読み書きする権限がありません。")
                   : QStringLiteral("。このユーザーはデバイスを所有するグループ %1 に入っていません。"
                                    "「sudo usermod -aG %1 $USER」でグループに加え、"
                                    "ログインし直してください。")
                         .arg(f.group));
    case R::InUse: {
        QString held;
        if (f.holderPid > 0)
            held += QStringLiteral("PID %1").arg(f.holderPid);
        if (!f.lockFile.isEmpty())
            held += (held.isEmpty() ? QString() : QStringLiteral("、")) + QStringLiteral("ロックファイル ")
                + f.lockFile;
        QString text = where + withSystemText(QStringLiteral("他のプログラムが使用中です"), held)
            + QStringLiteral("。そのプログラムを終了してください。");
#ifndef Q_OS_WIN
        text += QStringLiteral("使用中のプログラムは「fuser -v %1」で確かめられます。").arg(f.device);
#endif
        return text;
    }
    case R::LineLost:
        return where + withSystemText(QStringLiteral("回線が切れました"), f.systemText)
            + QStringLiteral("。ケーブルや USB アダプタが抜けていないか確かめ、"
                             "「ﾎﾟｰﾄ選択(P)」で開き直してください。");
    case R::Other:
    case R::None:
        break;
    }
    return where + withSystemText(QStringLiteral("ポートを開けませんでした"), f.systemText) + QStringLiteral("。");
}

QString PortDeviceDescription(int n)
{
    const QString device = PortDeviceName(n);
#ifdef Q_OS_WIN
    bool present = false;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        present = present || info.portName().compare(device, Qt::CaseInsensitive) == 0;
    const QString how;
#else
    const bool present = QFileInfo::exists(device);
    const QString how = qEnvironmentVariableIsEmpty(qPrintable(QStringLiteral("QZ7310_COM%1").arg(n)))
        ? QString()
        : QStringLiteral("QZ7310_COM%1 で指定、").arg(n);
#endif
    return QStringLiteral("COM%1 = %2（%3%4）")
        .arg(n)
        .arg(device, how, present ? QStringLiteral("デバイスがあります") : QStringLiteral("デバイスが見つかりません"));
}
