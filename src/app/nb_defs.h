/*
 * nb_defs.h - what every part of the host shares: the text buffer size,
 * the product title and the names of the parts.
 */
#ifndef NB_DEFS_H
#define NB_DEFS_H

#include <stddef.h>
#include <stdint.h>

#define NB_TEXT_MAX 1024          /* text and path buffers, NUL included */
#define NB_PRODUCT_TITLE "Nimbrel, ver. 3.15"

struct nb_app;
struct nb_chan;
struct nb_poll;
struct nb_pgmgr;
struct nb_session;
struct nb_plugin;

#endif /* NB_DEFS_H */
