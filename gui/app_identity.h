#pragma once

#include "identity.h"

#include <QString>

// "ﾊﾞｰｼﾞｮﾝ " and the version numbers in plain decimal (applicationVersion()).
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
