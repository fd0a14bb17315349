#include "edit_script.h"
