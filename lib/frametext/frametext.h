/*
 * frametext.h - one CAN frame written as text in the "ID#DATA" form that
 * candump logs and the can-utils tools use, parsed strictly:
 *
 *   ID    exactly 3 hex digits for an 11-bit identifier (up to 7FF) or
 *         exactly 8 for a 29-bit one (up to 1FFFFFFF);
 *   DATA  up to 8 bytes, each as two hex digits, with an optional '.'
 *         between two bytes (123#DE.AD.BE.EF); empty for no data (123#);
 *         or R for a remote frame, optionally followed by its length
 *         0..8 (18DAF110#R, 123#R2).
 *
 * Nothing else is accepted: no blanks, no "0x", no signs, no other
 * separators. A refusal comes with a one-line reason.
 *
 * Used by zelkctl and by the sender plug-in's quick send; it needs only
 * the frame record of zelk.h.
 */
#ifndef FRAMETEXT_H
#define FRAMETEXT_H

#include <stddef.h>

#include "zelk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Room for any frame formatted by ft_format, NUL included. */
#define FT_TEXT_MAX 32

/* Parses text into *out (every field set, ts 0). Returns 0, or -1 with a
 * reason of one line, without the text itself, in why (when why is not
 * null; cut to why_size, always NUL-terminated). *out is unchanged on
 * failure. */
int ft_parse(const char *text, zk_frame *out, char *why, size_t why_size);

/* Writes f in the same form, upper case, without separators ("123#DEADBEEF",
 * "18DAF110#R", "123#R2"). Returns the length, or 0 when size is too small
 * (buf then holds an empty text). */
size_t ft_format(const zk_frame *f, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* FRAMETEXT_H */
