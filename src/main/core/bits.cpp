#include "bits.h"
