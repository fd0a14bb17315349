#include "myers.h"
