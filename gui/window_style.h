#pragma once

#include <QColor>
#include <Qt>

class QWidget;

// What every window of the program shares: the main window, the splash and the dialogs.

// A fixed dialog frame: title bar and close box, no resizing, no other buttons.
inline constexpr Qt::WindowFlags FixedDialogFlags =
    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
    | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// Paints the widget's own background in the given colour.
void fillBackground(QWidget *widget, const QColor &colour);

// Designer stores whole points only; the windows' fonts have fractions (11.25 pt).
void setFontPoints(QWidget *widget, qreal points);
