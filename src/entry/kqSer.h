// SPDX-License-Identifier: MIT
// The entry points a host resolves by name after loading kqSer.so.
/// @file
/// The entry points a host resolves by name (dlsym) after loading kqSer.so,
/// and their pointer types.
#ifndef KQSER_KQSER_H
#define KQSER_KQSER_H

#include "ISerManager.h"
#include "KqApi.h"

extern "C" {
/// The library's type: 0.
KQ_API int DllType(void);
/// The library's description, "kqSer.so for ISerBase, support COM, DIO, Net
/// and USB": the same constant text on every call; do not free or modify it.
KQ_API const char* DllNote(void);
/// The library's interface version: 1.
KQ_API int DllVersion(void);
/// The process-wide port manager, created on the first call; later calls
/// return the same one until FreeSerManager. The silent build also loads the
/// log-config file "/NandFlash/tmp/kqser.log.ini" (the exported `filename`) at
/// every call; no key of it has any effect. Call it from one thread at a time.
KQ_API ISerManager* GetSerManager(void);
/// Destroys every port, closing those still open, and the manager; the
/// pointers the host holds are then invalid. The silent build then writes
/// the log-config file back: 0 when written, negative when not (-3 when it
/// cannot be written). The console build returns 0. A later
/// GetSerManager starts a new, empty manager.
KQ_API int FreeSerManager(void);
}

// Signatures for dlsym.
/// @name Pointer types for dlsym
///@{
typedef int (*KqDllTypeFn)(void);                 ///< DllType
typedef const char* (*KqDllNoteFn)(void);         ///< DllNote
typedef int (*KqDllVersionFn)(void);              ///< DllVersion
typedef ISerManager* (*KqGetSerManagerFn)(void);  ///< GetSerManager
typedef int (*KqFreeSerManagerFn)(void);          ///< FreeSerManager
///@}

#endif
