#include "delta_apply.h"
