#include "cbor_parser.h"
