// SPDX-License-Identifier: MIT
// The binary interface host programs are compiled against: virtual slots in
// their fixed order and data members in declaration order.
#include "SerBase_p.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "SerCom_p.h"
#include "SerDio_p.h"
#include "SerManager_p.h"
#include "SerNet_p.h"
#include "SerUsb_p.h"
#include "SocketHandle.h"

namespace {

// Virtual-table slot of a pointer to a virtual member function (Itanium C++ ABI).
template <class Pmf>
long Slot(Pmf f) {
    struct Rep {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(Pmf) == sizeof(Rep), "Itanium member-function pointer");
    std::memcpy(&rep, &f, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)  // ARM C++ ABI: the virtual flag is in adj
    return (rep.adj & 1) ? static_cast<long>(rep.ptr / sizeof(void*)) : -1;
#else
    return (rep.ptr & 1) ? static_cast<long>((rep.ptr - 1) / sizeof(void*)) : -1;
#endif
}

using WriteN = int (ISerBase::*)(const unsigned char*, int);
using WriteText = int (ISerBase::*)(const unsigned char*);

TEST(Abi, PortInterfaceSlots) {
    EXPECT_EQ(Slot(&ISerBase::Lock), 0);
    EXPECT_EQ(Slot(&ISerBase::Unlock), 1);
    EXPECT_EQ(Slot(&ISerBase::IsBusy), 2);
    EXPECT_EQ(Slot(&ISerBase::GetType), 3);
    EXPECT_EQ(Slot(&ISerBase::GetNote), 4);
    EXPECT_EQ(Slot(&ISerBase::Open), 5);
    EXPECT_EQ(Slot(&ISerBase::Close), 6);
    EXPECT_EQ(Slot(&ISerBase::IsOpened), 7);
    EXPECT_EQ(Slot(&ISerBase::GetHandle), 8);
    EXPECT_EQ(Slot(&ISerBase::SetDef), 9);
    EXPECT_EQ(Slot(&ISerBase::SetPort), 10);
    EXPECT_EQ(Slot(&ISerBase::SetBaud), 11);
    EXPECT_EQ(Slot(&ISerBase::SetTimeout), 12);
    EXPECT_EQ(Slot(&ISerBase::Purge), 13);
    EXPECT_EQ(Slot(&ISerBase::Read), 14);
    EXPECT_EQ(Slot(static_cast<WriteN>(&ISerBase::Write)), 15);
    EXPECT_EQ(Slot(static_cast<WriteText>(&ISerBase::Write)), 16);
    EXPECT_EQ(Slot(&ISerBase::InsertObserver), 17);
    EXPECT_EQ(Slot(&ISerBase::RemoveObserver), 18);
    EXPECT_EQ(Slot(&ISerManager::GetSer), 0);
}

TEST(Abi, SlotsAddedAfterTheInterface) {
    // 19 interface slots, then the two destructor entries.
    EXPECT_EQ(Slot(&CSerBase::UpdParams), 21);
    EXPECT_EQ(Slot(&CSerCom::UpdParams), 21);
    EXPECT_EQ(Slot(&CSerCom::InitCom), 22);
    EXPECT_EQ(Slot(&CSerCom::UpdNote), 23);
    EXPECT_EQ(Slot(&CSerCom::Wait), 24);
    EXPECT_EQ(Slot(&CSerNet::UpdParams), 21);
    EXPECT_EQ(Slot(&CSerNet::InitParams), 22);
    EXPECT_EQ(Slot(&CSerNet::UpdNote), 23);
    EXPECT_EQ(Slot(&CSerNet::SetPort), 10);
    EXPECT_EQ(Slot(&CSerDio::Read), 14);
}

size_t Offset(const void* object, const volatile void* member) {
    return static_cast<size_t>(static_cast<const volatile char*>(member) -
                               static_cast<const volatile char*>(object));
}

struct BaseLayout : CSerBase {
    BaseLayout() : CSerBase(1) {}
    void Check() {
        const CSerBase* self = this;
        EXPECT_EQ(Offset(self, &m_bBusy), sizeof(void*));
        EXPECT_EQ(Offset(self, &m_nKind), sizeof(void*) + 4);
        EXPECT_EQ(Offset(self, &m_nNumber), sizeof(void*) + 8);
        EXPECT_EQ(Offset(self, &m_nByteTimeout), sizeof(void*) + 12);
        EXPECT_EQ(Offset(self, &m_nBaseTimeout), sizeof(void*) + 16);
        EXPECT_EQ(Offset(self, &m_spinLock), sizeof(void*) + 20);
        EXPECT_LT(Offset(self, &m_spinLock), Offset(self, &m_strNote));
        EXPECT_EQ(Offset(self, &m_vecObserver), Offset(self, &m_strNote) + sizeof(std::string));
        EXPECT_EQ(sizeof(CSerBase), Offset(self, &m_vecObserver) + sizeof(m_vecObserver));
    }
};

struct ComLayout : CSerCom {
    ComLayout() : CSerCom(1) {}
    void Check() {
        const CSerBase* self = this;
        const size_t base = sizeof(CSerBase);
        EXPECT_EQ(Offset(self, m_szDevice), base);
        EXPECT_EQ(sizeof(m_szDevice), 16u);
        EXPECT_EQ(Offset(self, &m_nBaud), base + 16);
        EXPECT_EQ(Offset(self, &m_nParity), base + 20);
        EXPECT_EQ(Offset(self, &m_nDataBits), base + 24);
        EXPECT_EQ(Offset(self, &m_nStopBits), base + 28);
        EXPECT_EQ(Offset(self, &m_nHandle), base + 32);
        EXPECT_EQ(Offset(self, &m_nWaitValue), base + 36);
        EXPECT_EQ(Offset(self, &m_bWait), base + 40);
    }
};

struct NetLayout : CSerNet {
    NetLayout() : CSerNet(1) {}
    void Check() {
        const CSerBase* self = this;
        const size_t base = sizeof(CSerBase);
        EXPECT_EQ(Offset(self, m_szHost), base);
        EXPECT_EQ(sizeof(m_szHost), 16u);
        EXPECT_EQ(Offset(self, &m_nReconnectCount), base + 16);
        EXPECT_EQ(Offset(self, &m_nReconnectInterval), base + 20);
        EXPECT_EQ(Offset(self, &m_nPort), base + 24);
        EXPECT_EQ(Offset(self, &m_nSocket), base + 28);
        EXPECT_EQ(Offset(self, &m_nWouldBlockCount), base + 32);
    }
};

struct DioLayout : CSerDio {
    DioLayout() : CSerDio(nullptr) {}
    void Check() {
        const CSerBase* self = this;
        EXPECT_EQ(Offset(self, &m_nHandle), sizeof(CSerBase));
    }
};

TEST(Abi, PortMembersInDeclarationOrder) {
    BaseLayout().Check();
    ComLayout().Check();
    NetLayout().Check();
    DioLayout().Check();
    EXPECT_EQ(sizeof(CSerUsb), sizeof(CSerBase));
}

TEST(Abi, SocketTypes) {
    EXPECT_EQ(sizeof(SockAddrIn), 16u);
    EXPECT_EQ(sizeof(SockAddrIn), sizeof(sockaddr_in));
    EXPECT_EQ(sizeof(CSocketHandle), sizeof(long));
    EXPECT_EQ(sizeof(ISerManager), sizeof(void*));
}

}  // namespace
