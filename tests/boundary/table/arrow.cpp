// Written as a table file would be: a header of the line, against the arrows.
#include "line/request.h"
