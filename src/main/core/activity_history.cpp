#include "activity_history.h"
