#include "files/PackedKDB.h"
