#include "link/port_failure_text.h"
#include "link/serial_comm_control.h"

#include <QFileInfo>
#include <QtGlobal>
#ifdef Q_OS_WIN
#include "link/win32_ports.h"
#endif

namespace {

QString withReason(const QString &what, const QString &reason)
{
    return reason.isEmpty() ? what : what + QStringLiteral("（%1）").arg(reason);
}

QString permissionRemedy(const PortFailure &f)
{
    if (f.group.isEmpty())
        return QStringLiteral("このユーザーにはデバイスを読み書きする権限がありません。");
    if (!f.groupMayUse)
        return QStringLiteral("デバイスは所有者しか開けません（グループ %1 にも読み書きの権限がありません）。"
                              "管理者に権限を頼んでください。")
            .arg(f.group);
    if (f.inGroup)
        return QStringLiteral("このユーザーはグループ %1 に入っていますが開けません。"
                              "デバイスの権限を確かめてください（ls -l %2）。")
            .arg(f.group, f.device);
    return QStringLiteral("このユーザーはデバイスを所有するグループ %1 に入っていません。"
                          "「sudo usermod -aG %1 $USER」でグループに加え、ログインし直してください。")
        .arg(f.group);
}

} // namespace

QString portFailureLine(int port, const PortFailure &f)
{
    using Kind = PortFailure::Kind;
    const QString where = QStringLiteral("COM%1 (%2): ").arg(QString::number(port), f.device);
    switch (f.kind) {
    case Kind::None:
        return {};
    case Kind::NoSuchDevice:
#ifdef Q_OS_WIN
        return where + withReason(QStringLiteral("デバイスがありません"), f.reason)
            + QStringLiteral("。アダプタが差し込まれているか、デバイス マネージャーの「ポート (COM と LPT)」で"
                             "その番号を確かめ、「ﾎﾟｰﾄ選択(P)」で選び直してください。");
#else
        return where + withReason(QStringLiteral("デバイスがありません"), f.reason)
            + QStringLiteral("。COM%1 に別のデバイスを使うには、環境変数 QZ7310_COM%1 にそのパスを"
                             "設定して起動してください（例: QZ7310_COM%1=/dev/ttyUSB0）。")
                  .arg(port);
#endif
    case Kind::PermissionDenied:
        return where + withReason(QStringLiteral("アクセスが拒否されました"), f.reason)
            + QStringLiteral("。") + permissionRemedy(f);
    case Kind::Busy: {
        QString holder;
        if (f.holderPid > 0)
            holder = QStringLiteral("PID %1").arg(f.holderPid)
                + (f.holderName.isEmpty() ? QString() : QStringLiteral("、") + f.holderName);
        QString text = where + withReason(QStringLiteral("他のプログラムが使用中です"), holder)
            + QStringLiteral("。そのプログラムを終了してください。");
#ifndef Q_OS_WIN
        text += QStringLiteral("使用中のプログラムは「fuser -v %1」で確かめられます。").arg(f.device);
#endif
        return text;
    }
    case Kind::Lost:
        return where + withReason(QStringLiteral("回線が切れました"), f.reason)
            + QStringLiteral("。ケーブルや USB アダプタが抜けていないか確かめ、"
                             "「ﾎﾟｰﾄ選択(P)」で開き直してください。");
    case Kind::Other:
        break;
    }
    return where + withReason(QStringLiteral("ポートを開けませんでした"), f.reason) + QStringLiteral("。");
}

QString portDeviceDescription(int n)
{
    const QString device = portDeviceName(n);
#ifdef Q_OS_WIN
    // What stands behind COMn, as Windows names it.
    const QString target = win32PortTarget(device);
    const bool present = !target.isEmpty();
    const QString how = present ? target + QStringLiteral("、") : QString();
#else
    const bool present = QFileInfo::exists(device);
    const QString how = qEnvironmentVariableIsEmpty(qPrintable(QStringLiteral("QZ7310_COM%1").arg(n)))
        ? QString()
        : QStringLiteral("QZ7310_COM%1 で指定、").arg(n);
#endif
    return QStringLiteral("COM%1 = %2（%3%4）")
        .arg(QString::number(n), device, how,
             present ? QStringLiteral("デバイスがあります") : QStringLiteral("デバイスが見つかりません"));
}
