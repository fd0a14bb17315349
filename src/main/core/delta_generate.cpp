#include "delta_generate.h"
