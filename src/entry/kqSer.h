// The entry points a host resolves by name after loading kqSer.so.
#ifndef KQSER_KQSER_H
#define KQSER_KQSER_H

#include "ISerManager.h"
#include "KqApi.h"

extern "C" {
KQ_API int DllType(void);
KQ_API const char* DllNote(void);
KQ_API int DllVersion(void);
KQ_API ISerManager* GetSerManager(void);
KQ_API int FreeSerManager(void);
}

// Signatures for dlsym.
typedef int (*KqDllTypeFn)(void);
typedef const char* (*KqDllNoteFn)(void);
typedef int (*KqDllVersionFn)(void);
typedef ISerManager* (*KqGetSerManagerFn)(void);
typedef int (*KqFreeSerManagerFn)(void);

#endif
