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
 * A CAN FD frame is "ID##FDATA": two '#', then one hex digit of flags
 * (1: BRS, the data phase at the data bit rate; 2: ESI; 4, the FD mark
 * itself, may be given and changes nothing), then up to 64 data bytes
 * as above (123##1DEADBEEF, 18DAF110##0). FD has no remote frames.
 *
 * Nothing else is accepted: no blanks, no "0x", no signs, no other
 * separators. A refusal comes with a one-line reason.
 *
 * Used by zelkctl and by the sender plug-in's quick send; it needs only
 * the frame records of zelk.h.
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

/* Room for any frame formatted by ft_format_fd, NUL included. */
#define FT_FD_TEXT_MAX 144

/* Parses a classic or a CAN FD frame into *out (every field set, data
 * past len 0, ts 0). A CAN FD frame carries 0 to 8, 12, 16, 20, 24, 32,
 * 48 or 64 bytes: a number of bytes in between is padded up to the next
 * of these lengths with 0x00 bytes (what the kernel and can-utils send).
 * Returns the number of pad bytes added (0 when none), or -1 with a
 * reason as ft_parse gives it; *out is unchanged on failure. */
int ft_parse_fd(const char *text, zk_fdframe *out, char *why, size_t why_size);

/* Writes a classic frame as ft_format does and an FD frame as
 * "123##5DEADBEEF": the flags digit as candump -L writes it on current
 * kernels, which mark every FD frame with 4 (the FD flag), plus 1 for BRS
 * and 2 for ESI. Returns the length, or 0 when size is too small. */
size_t ft_format_fd(const zk_fdframe *f, char *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* FRAMETEXT_H */
