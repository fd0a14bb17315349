#include "cbor_writer.h"
