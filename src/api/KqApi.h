// SPDX-License-Identifier: MIT
// Export control for the kqSer shared library.
/// @file
/// KQ_API, the mark of what the library exports.
#ifndef KQSER_KQAPI_H
#define KQSER_KQAPI_H

// The library is built with hidden visibility; only what carries KQ_API is
// part of its binary interface.
/// Marks a declaration as part of kqSer.so's binary interface; everything
/// else in the library is hidden.
#define KQ_API __attribute__((visibility("default")))
/// Marks a member of an exported class that stays inside the library.
#define KQ_LOCAL __attribute__((visibility("hidden")))

#endif
