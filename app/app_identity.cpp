#include "app/app_identity.h"

#include <QCoreApplication>
#include <QFont>

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
