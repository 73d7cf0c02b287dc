// Written as a core file would be: a header of the windows library.
#include "frm_main.h"
