// SPDX-License-Identifier: MIT
#include "SerBase_p.h"

#include <cstring>

#include "PortExtras_p.h"
#include "TextUtil_p.h"

CSerBase::CSerBase(int number) {
    Init();
    m_nNumber = number;
}

CSerBase::CSerBase(const char* /*def*/) {
    Init();
}

CSerBase::~CSerBase() {
    Free();
    kq::DropExtras(this);
}

void CSerBase::Init() {
    pthread_spin_init(&m_spinLock, PTHREAD_PROCESS_PRIVATE);
    m_bBusy = false;
    m_nKind = KQ_KIND_SERIAL;
    m_nNumber = 1;
    m_nByteTimeout = 6;
    m_nBaseTimeout = 100;
    m_strNote = "CSerBase";
    m_vecObserver.clear();
}

void CSerBase::Free() {
    pthread_spin_destroy(&m_spinLock);
}

void CSerBase::Lock() {
    pthread_spin_lock(&m_spinLock);
    m_bBusy = true;
}

void CSerBase::Unlock() {
    // Clear the flag while still holding the lock, so a new holder's flag is
    // never wiped by the previous one.
    m_bBusy = false;
    pthread_spin_unlock(&m_spinLock);
}

int CSerBase::IsBusy() {
    return m_bBusy ? 1 : 0;
}

int CSerBase::GetType() {
    return kq::WrapAdd(m_nKind, m_nNumber);
}

const char* CSerBase::GetNote() {
    return m_strNote.c_str();
}

int CSerBase::Open(const char* /*def*/) {
    return 0;
}

int CSerBase::Close() {
    return 0;
}

int CSerBase::IsOpened() {
    return 0;
}

int CSerBase::GetHandle() {
    return -1;
}

int CSerBase::SetDef(const char* def) {
    UpdParams(def);
    return 1;
}

int CSerBase::SetPort(int /*port*/) {
    return 0;
}

int CSerBase::SetBaud(int /*baud*/) {
    return 0;
}

int CSerBase::SetTimeout(int byteTimeout, int baseTimeout) {
    m_nByteTimeout = byteTimeout;
    m_nBaseTimeout = baseTimeout;
    return 1;
}

int CSerBase::Purge() {
    return 0;
}

int CSerBase::Read(unsigned char* /*buf*/, int /*len*/, int /*timeout*/) {
    return -1;
}

int CSerBase::Write(const unsigned char* /*buf*/, int /*len*/) {
    return -1;
}

int CSerBase::Write(const unsigned char* text) {
    if (text == nullptr) {
        return -1;
    }
    return Write(text, static_cast<int>(std::strlen(reinterpret_cast<const char*>(text))));
}

int CSerBase::InsertObserver(ISerObserver* observer) {
    if (observer == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < m_vecObserver.size(); ++i) {
        if (m_vecObserver[i] == observer) {
            return static_cast<int>(i);
        }
    }
    m_vecObserver.push_back(observer);
    return static_cast<int>(m_vecObserver.size()) - 1;
}

int CSerBase::RemoveObserver(ISerObserver* observer) {
    for (size_t i = 0; i < m_vecObserver.size(); ++i) {
        if (m_vecObserver[i] == observer) {
            m_vecObserver.erase(m_vecObserver.begin() + static_cast<long>(i));
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CSerBase::UpdParams(const char* /*def*/) {}
