// Written as a core file would be: a Qt Gui header by its module path.
#include <QtGui/QColor>
