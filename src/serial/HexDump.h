// Hex text of byte buffers, as used in the transfer log lines.
#ifndef KQSER_HEXDUMP_H
#define KQSER_HEXDUMP_H

#include "KqApi.h"

// Upper-case hex digit of the low four bits of v.
KQ_API char _TOHEX(unsigned char v);

// Writes two hex digits and `gap` blanks per byte of data into out, followed
// by a terminator. Returns the number of characters written without the
// terminator, or -1 (nothing written) when data or out is null, gap is
// negative or outSize cannot hold the text and its terminator.
KQ_API int BufToHexStr(const unsigned char* data, int len, char* out, int outSize, int gap);

// The same text in a buffer owned by the calling thread, valid until that
// thread's next call. Texts of 1024 characters or more are replaced by
// "msg.len > 1024"; a null data pointer or a negative gap gives "".
KQ_API char* BufToHexStr(const unsigned char* data, int len, int gap);

#endif
