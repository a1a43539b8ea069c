// SPDX-License-Identifier: MIT
// Hex text of byte buffers, as used in the transfer log lines.
/// @file
/// Hex text of byte buffers, as the library's SEND and RECV log lines show it.
#ifndef KQSER_HEXDUMP_H
#define KQSER_HEXDUMP_H

#include "KqApi.h"

/// Upper-case hex digit of the low four bits of @p v.
KQ_API char _TOHEX(unsigned char v);

/// Writes two hex digits and @p gap blanks per byte of @p data into @p out,
/// followed by a terminator: @p outSize must be at least
/// @p len * (@p gap + 2) + 1. Returns the number of characters written
/// without the terminator, or -1 (nothing written) when data or out is null,
/// gap is negative or outSize cannot hold the text and its terminator.
KQ_API int BufToHexStr(const unsigned char* data, int len, char* out, int outSize, int gap);

/// The same text in a buffer owned by the calling thread, valid until that
/// thread's next call; do not free it. Texts of 1024 characters or more are
/// replaced by "msg.len > 1024" (with @p gap 1: more than 340 bytes); a null
/// data pointer or a negative gap gives "".
KQ_API char* BufToHexStr(const unsigned char* data, int len, int gap);

#endif
