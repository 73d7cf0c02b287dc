#include "window_style.h"

#include <QWidget>

void fillBackground(QWidget *widget, const QColor &colour)
{
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, colour);
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

void setFontPoints(QWidget *widget, qreal points)
{
    QFont f = widget->font();
    f.setPointSizeF(points);
    widget->setFont(f);
}
