#include "codec/raster_error.h"

int r64_error = 0;
