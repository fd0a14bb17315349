/* Symbol visibility and linkage shared by every public core header.
 *
 * The core is compiled with hidden visibility; each public function and
 * the parser's dispatch table carry OSTREL_API so that they are exported
 * under their plain C names from the shared library and from the Python
 * module alike. */
#ifndef OSTREL_API_H
#define OSTREL_API_H

#define OSTREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define OSTREL_BEGIN_DECLS extern "C" {
#define OSTREL_END_DECLS }
#else
#define OSTREL_BEGIN_DECLS
#define OSTREL_END_DECLS
#endif

#endif
