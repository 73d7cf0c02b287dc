#include "app_identity.h"

#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QTranslator>

QString versionText()
{
    return QStringLiteral("ﾊﾞｰｼﾞｮﾝ ") + applicationVersion();
}

QString versionMessageText()
{
    return applicationTitle() + QLatin1Char('\r') + QStringLiteral("      ") + versionText();
}

void setupApplication()
{
    QCoreApplication::setApplicationName(applicationTitle());
    QCoreApplication::setApplicationVersion(applicationVersion());
    // Lets the desktop match the windows to the menu entry (and its icon).
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopId));

    // The interface is Japanese whatever the system's language, Qt's own dialogs
    // included (save dialog, its overwrite question, message box buttons). Without
    // Qt's translations installed they stay English; nothing else depends on it.
    auto *qtTexts = new QTranslator(QCoreApplication::instance());
    if (qtTexts->load(QStringLiteral("qtbase_ja"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtTexts);
    else
        delete qtTexts;

    // The windows keep the font names they were drawn with; where those fonts are not
    // installed, these metric-compatible or look-alike families stand in. Arial Black
    // has no free twin: DejaVu Sans at black weight (the labels ask for it) comes closest.
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Arial Black"), QStringLiteral("DejaVu Sans"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
}

static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void loadResources()
{
    static const bool loaded = (registerResources(), true);
    Q_UNUSED(loaded);
}
