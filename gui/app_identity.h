#pragma once

#include <QString>

// The program's title: main window caption, splash title, message box titles.
inline constexpr const char *ApplicationTitle = QZ_APPLICATION_TITLE; // "QZ-7310 TALVEN SOFTWARE"

inline QString applicationTitle() { return QString::fromLatin1(ApplicationTitle); }

// The version numbers in plain decimal, "0.9.2", from the build's project version.
inline QString applicationVersion() { return QStringLiteral(QZ_VERSION); }

// The desktop entry's name without ".desktop", also the icon's name (dist/).
inline constexpr const char *DesktopId = QZ_DESKTOP_ID; // "jp.co.morvella.qz7310"

// "ﾊﾞｰｼﾞｮﾝ " and the version numbers in plain decimal, e.g. "ﾊﾞｰｼﾞｮﾝ 0.9.2".
QString versionText();

// The version message: the title, a lone CR, six blanks, the version text.
QString versionMessageText();

// Identity (application name, version, desktop entry), Qt's Japanese texts and the
// stand-ins for the fonts the windows name. Run once after the QApplication exists
// and before any window is created; the program and the window tests share it so
// both see the same fonts and texts.
void setupApplication();

// Registers the windows' pictures (they live in the static library, where nothing
// would otherwise pull them in). Safe to call more than once.
void loadResources();
