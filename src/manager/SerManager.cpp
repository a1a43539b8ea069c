// SPDX-License-Identifier: MIT
#include "SerManager_p.h"

#include <memory>

#include "KqLog_p.h"
#include "SerCom_p.h"
#include "SerDio_p.h"
#include "SerNet_p.h"
#include "SerialDef_p.h"

CSerManager* CSerManager::m_pInstance = nullptr;

CSerManager::CSerManager() {
    KQ_LOG("SerManager new: %x\r\n", KQ_ADDR(this));
    m_vecSer.clear();
}

CSerManager::~CSerManager() {
    // Reverse order of registration: later ports may depend on earlier ones.
    for (size_t i = m_vecSer.size(); i-- > 0;) {
        // Every registered port derives from CSerBase, the class with the
        // virtual destructor.
        delete static_cast<CSerBase*>(m_vecSer[i]);
    }
    m_vecSer.clear();
    KQ_LOG("SerManager delete: %x\r\n", KQ_ADDR(this));
}

CSerManager* CSerManager::GetInstance() {
    if (m_pInstance == nullptr) {
        m_pInstance = new CSerManager();
    }
    return m_pInstance;
}

bool CSerManager::Exists() {
    return m_pInstance != nullptr;
}

void CSerManager::FreeInstance() {
    if (m_pInstance == nullptr) {
        return;
    }
    // The singleton is always exactly a CSerManager, whose destructor is not
    // virtual by design of the interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
    delete m_pInstance;
#pragma GCC diagnostic pop
    // Still holds the address just freed: logged, never dereferenced.
    KQ_LOG("SerManager free: %x\r\n", KQ_ADDR(m_pInstance));
    m_pInstance = nullptr;
}

int CSerManager::FindType(int type) {
    for (size_t i = 0; i < m_vecSer.size(); ++i) {
        if (m_vecSer[i]->GetType() == type) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CSerManager::RegisterNew(ISerBase* port) {
    if (port == nullptr) {
        return -1;
    }
    const int index = FindType(port->GetType());
    if (index >= 0) {
        return index;
    }
    m_vecSer.push_back(port);
    return static_cast<int>(m_vecSer.size()) - 1;
}

ISerBase* CSerManager::GetSer(const char* def, int type) {
    int index = FindType(type);
    if (index >= 0) {
        return m_vecSer[static_cast<size_t>(index)];
    }

    // Registers a port just built. One refused because an earlier port has
    // its type code is deleted here: the registry never sees it.
    auto adopt = [this](CSerBase* built) {
        std::unique_ptr<CSerBase> port(built);
        const int at = RegisterNew(port.get());
        if (at >= 0 && m_vecSer[static_cast<size_t>(at)] == port.get()) {
            (void)port.release();  // the registry owns it now
        }
        return at;
    };

    const int number = type & 0xFFFF;
    switch (type & KQ_CLASS_MASK) {
        case KQ_KIND_USB: return nullptr;
        case KQ_KIND_DIO: index = adopt(new CSerDio(def)); break;
        case KQ_KIND_NET:
            if (def != nullptr) {
                index = adopt(new CSerNet(def));
                if (index >= 0) {
                    m_vecSer[static_cast<size_t>(index)]->SetPort(type);
                }
            } else {
                index = adopt(new CSerNet(number));
            }
            break;
        default: {
            // One scan of the string serves the look-up and the new port.
            const kq::SerialDefScan scan = kq::ScanSerialDef(def);
            const int named = FindType(kq::SerialTypeOf(def, scan));
            if (named >= 0) {
                return m_vecSer[static_cast<size_t>(named)];
            }
            index = adopt(def != nullptr ? new CSerCom(def, scan) : new CSerCom(number));
            break;
        }
    }
    return index < 0 ? nullptr : m_vecSer[static_cast<size_t>(index)];
}
