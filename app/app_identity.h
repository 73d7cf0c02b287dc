#pragma once

#include <QString>

// The program's title: main window caption, splash title, message box titles.
inline constexpr const char *ApplicationTitle = "QZ-7310 TALVEN SOFTWARE";

inline QString applicationTitle() { return QString::fromLatin1(ApplicationTitle); }

// The desktop entry's name without ".desktop" (dist/), also the icon's name.
inline constexpr const char *DesktopId = "jp.co.morvella.qz7310";

// "ﾊﾞｰｼﾞｮﾝ " and the version numbers in plain decimal, e.g. "ﾊﾞｰｼﾞｮﾝ 0.9.2".
QString VersionText();

// The version message: the title, a lone CR, six blanks, the version text.
QString VersionMessageText();

// Identity (application name, version, desktop entry), Qt's Japanese texts and the
// stand-ins for the fonts the windows name. Run once after the QApplication exists and before any window is created; the
// program and the window tests share it so both see the same fonts.
void SetupApplication();

// Registers the windows' pictures (they live in the static library, where nothing
// would otherwise pull them in). Safe to call more than once.
void LoadResources();
