/* Integer bit utilities: leading zeros, highest set bit, next power of
 * two, a cube-root estimate. Pure functions, no state. */
#ifndef OSTREL_BITS_H
#define OSTREL_BITS_H

#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

OSTREL_API int number_of_leading_zeroes_long(uint64_t v);   /* 0..64; 64 for 0 */
OSTREL_API int number_of_leading_zeroes_int(int32_t v);     /* 0..32; 0 for negative, 32 for 0 */
OSTREL_API int highest_bit_long(uint64_t v);                /* 1-based position of the top set bit, 0 for 0 */
OSTREL_API int highest_bit_int(int32_t v);                  /* 32 for negative, 0 for 0 */
OSTREL_API int32_t find_next_power_of_two_int(uint32_t v);  /* smallest power of two >= v; -1 above 2^30 */
OSTREL_API uint64_t find_next_power_of_two_long(uint64_t v);/* smallest power of two >= v; all ones above 2^62 */
OSTREL_API uint64_t approx_cube_root(uint64_t v);           /* 1 << (highest_bit_long(v) / 3); 0 for 0 */

OSTREL_END_DECLS

#endif
