// The manager interface that hosts call through.
#ifndef KQSER_ISERMANAGER_H
#define KQSER_ISERMANAGER_H

#include "ISerBase.h"

class KQ_API ISerManager {
public:
    // The port for a type code and/or definition string (def may be null),
    // built and registered on first request; null when none can be had.
    virtual ISerBase* GetSer(const char* def, int type) = 0;
};

#endif
