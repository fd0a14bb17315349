#include "buf.h"
