// qz7310-history: a viewer of the collector's store of read-outs.
#include "history_window.h"
#include "identity.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qz7310"));
    QCoreApplication::setApplicationName(QStringLiteral("qz7310-history"));
    QCoreApplication::setApplicationVersion(applicationVersion());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopId) + QStringLiteral(".history"));

    // The system's language: the viewer's own texts and Qt's dialogs.
    auto *own = new QTranslator(&app);
    if (own->load(QLocale(), QStringLiteral("qz7310-history"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(own);
    auto *qt = new QTranslator(&app);
    if (qt->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qt);

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main", "Shows the read-outs the collector (qz7310-collect --store) keeps: the counters, "
                "their read-outs, the counts over time and each read-out's records."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("store"),
                                 QCoreApplication::translate("main", "sqlite:PATH or postgresql://[USER@]HOST[:PORT]/"
                                                                     "DATABASE (the password from ~/.pgpass or "
                                                                     "PGPASSWORD); without it, the store opened last"));
    parser.process(app);

    HistoryWindow window;
    window.show();
    const QStringList args = parser.positionalArguments();
    if (!args.isEmpty())
        window.openStore(args.first());
    else if (!HistoryWindow::rememberedStores().isEmpty())
        window.openStore(HistoryWindow::rememberedStores().first());
    return app.exec();
}
