// SPDX-License-Identifier: MIT
// The process-wide port registry.
#ifndef KQSER_SERMANAGER_H
#define KQSER_SERMANAGER_H

#include <vector>

#include "ISerManager.h"

class KQ_API CSerManager : public ISerManager {
public:
    CSerManager();
    ~CSerManager();

    static CSerManager* GetInstance();
    static void FreeInstance();
    // Whether the singleton exists now.
    KQ_LOCAL static bool Exists();

    ISerBase* GetSer(const char* def, int type) override;
    // Registry index of the first port with this type code, or -1.
    int FindType(int type);
    // Index of the port, or of an earlier one with its type code; -1 for null.
    int RegisterNew(ISerBase* port);

    CSerManager(const CSerManager&) = delete;
    CSerManager& operator=(const CSerManager&) = delete;

protected:
    std::vector<ISerBase*> m_vecSer;
    static CSerManager* m_pInstance;
};

#endif
