// Written as a core file would be: a Qt Widgets header by its module path.
#include <QtWidgets/QLabel>
