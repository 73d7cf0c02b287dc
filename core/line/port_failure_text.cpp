#include "line/port_failure_text.h"
#include "line/port_address.h"

#include <QFileInfo>
#include <QtGlobal>
#ifdef Q_OS_WIN
#include "line/win32_ports.h"
#endif

namespace {

QString withReason(const QString &what, const QString &reason)
{
    // Qt's Japanese translation may already give the reason in these very words
    // ("接続を拒否されました"): said once is enough.
    return reason.isEmpty() || reason == what ? what : what + QStringLiteral("（%1）").arg(reason);
}

QString permissionRemedy(const PortFailure &f)
{
    using Cause = PortFailure::Cause;
    switch (f.cause()) {
    case Cause::OwnerOnly:
        return QStringLiteral("デバイスは所有者しか開けません（グループ %1 にも読み書きの権限がありません）。"
                              "管理者に権限を頼んでください。")
            .arg(f.group);
    case Cause::DeniedInGroup:
        return QStringLiteral("このユーザーはグループ %1 に入っていますが開けません。"
                              "デバイスの権限を確かめてください（ls -l %2）。")
            .arg(f.group, f.device);
    case Cause::NotInGroup:
        return QStringLiteral("このユーザーはデバイスを所有するグループ %1 に入っていません。"
                              "「sudo usermod -aG %1 $USER」でグループに加え、ログインし直してください。")
            .arg(f.group);
    default:
        break;
    }
    return QStringLiteral("このユーザーにはデバイスを読み書きする権限がありません。");
}

// "ホスト 192.168.1.50 のポート 4001" for a well-formed address, else the name as given.
QString serverText(const QString &device)
{
    const std::optional<NetworkAddress> a = parseNetworkAddress(device);
    return a ? QStringLiteral("ホスト %1 のポート %2").arg(a->host).arg(a->port) : device;
}

QString exampleSetting(int port)
{
    return QStringLiteral("（例: QZ7310_COM%1=tcp://192.168.1.50:4001）").arg(port);
}

} // namespace

QString portFailureLine(int port, const PortFailure &f)
{
    using Cause = PortFailure::Cause;
    const QString where = QStringLiteral("COM%1 (%2): ").arg(QString::number(port), f.device);
    switch (f.cause()) {
    case Cause::None:
        return {};
    case Cause::NoSuchDevice:
#ifdef Q_OS_WIN
        return where + withReason(QStringLiteral("デバイスがありません"), f.reason)
            + QStringLiteral("。アダプタが差し込まれているか、デバイス マネージャーの「ポート (COM と LPT)」で"
                             "その番号を確かめてください。別の番号のポートを COM%1 として使うには、環境変数 "
                             "QZ7310_COM%1 にそのポート名を設定して起動し直すか（例: QZ7310_COM%1=COM7）、"
                             "デバイス マネージャーでそのポートのプロパティの「ポートの設定」→「詳細設定」で"
                             "番号を COM%1 に変え、「ﾎﾟｰﾄ選択(P)」で選び直してください。")
                  .arg(port);
#else
        return where + withReason(QStringLiteral("デバイスがありません"), f.reason)
            + QStringLiteral("。COM%1 に別のデバイスを使うには、環境変数 QZ7310_COM%1 にそのパスを"
                             "設定して起動してください（例: QZ7310_COM%1=/dev/ttyUSB0）。")
                  .arg(port);
#endif
    case Cause::NoAccess:
    case Cause::NotInGroup:
    case Cause::OwnerOnly:
    case Cause::DeniedInGroup:
        return where + withReason(QStringLiteral("アクセスが拒否されました"), f.reason)
            + QStringLiteral("。") + permissionRemedy(f);
    case Cause::Busy: {
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
    case Cause::LostConnection:
        return where + withReason(QStringLiteral("デバイスサーバーとの接続が切れました"), f.reason)
            + QStringLiteral("。デバイスサーバーの電源とネットワークを確かめ、"
                             "「ﾎﾟｰﾄ選択(P)」で開き直してください。");
    case Cause::Lost:
        return where + withReason(QStringLiteral("回線が切れました"), f.reason)
            + QStringLiteral("。ケーブルや USB アダプタが抜けていないか確かめ、"
                             "「ﾎﾟｰﾄ選択(P)」で開き直してください。");
    case Cause::Refused:
        return where + withReason(QStringLiteral("接続を拒否されました"), f.reason)
            + QStringLiteral("。%1 で待ち受けているものがありません。デバイスサーバーの電源、ポート番号、"
                             "そのポートが raw TCP モードであることを確かめてください。")
                  .arg(serverText(f.device));
    case Cause::HostNotFound:
        return where + withReason(QStringLiteral("ホストが見つかりません"), f.reason)
            + QStringLiteral("。ホスト名を確かめるか、デバイスサーバーの IP アドレスを環境変数 QZ7310_COM%1 "
                             "に設定して起動してください")
                  .arg(port)
            + exampleSetting(port) + QStringLiteral("。");
    case Cause::NoAnswer:
        return where
            + withReason(QStringLiteral("%1 秒以内に応答がありません").arg(QString::number(f.waitedMs / 1000.0)),
                         f.reason)
            + QStringLiteral("。%1 に届きません。デバイスサーバーの電源とネットワーク（ケーブル、"
                             "ファイアウォール）を確かめてください。")
                  .arg(serverText(f.device));
    case Cause::BadAddress:
        return where + QStringLiteral("ネットワークのアドレスとして読めません。環境変数 QZ7310_COM%1 を "
                                      "tcp://ホスト:ポート の形で設定してください")
                           .arg(port)
            + exampleSetting(port) + QStringLiteral("。");
    case Cause::Other:
    case Cause::NetworkOther:
        break;
    }
    return where + withReason(QStringLiteral("ポートを開けませんでした"), f.reason) + QStringLiteral("。");
}

QString portDeviceDescription(int n)
{
    const PortAddress address = PortAddress::forPort(n);
    const QString device = address.device();
    if (address.isNetwork()) {
        // Not tried here: a connection would take the server's one line from whoever has it.
        const std::optional<NetworkAddress> &a = address.network();
        return QStringLiteral("COM%1 = %2（%3 で指定、%4）")
            .arg(QString::number(n), device, address.variable(),
                 a ? QStringLiteral("デバイスサーバー: ホスト %1、ポート %2、raw TCP").arg(a->host).arg(a->port)
                   : QStringLiteral("アドレスが正しくありません"));
    }
    QString how = address.variable().isEmpty() ? QString()
                                               : QStringLiteral("%1 で指定、").arg(address.variable());
#ifdef Q_OS_WIN
    // What stands behind the port as Windows names it, and Device Manager's name for it.
    const Win32Port port = win32Port(device);
    const bool present = !port.target.isEmpty();
    if (!port.friendlyName.isEmpty())
        how += port.friendlyName + QStringLiteral("、");
    if (present)
        how += port.target + QStringLiteral("、");
#else
    const bool present = QFileInfo::exists(device);
#endif
    return QStringLiteral("COM%1 = %2（%3%4）")
        .arg(QString::number(n), device, how,
             present ? QStringLiteral("デバイスがあります") : QStringLiteral("デバイスが見つかりません"));
}
