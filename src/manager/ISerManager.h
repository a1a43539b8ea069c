// SPDX-License-Identifier: MIT
// The manager interface that hosts call through.
/// @file
/// The port manager interface, ISerManager.
#ifndef KQSER_ISERMANAGER_H
#define KQSER_ISERMANAGER_H

#include "ISerBase.h"

/// The process-wide port manager, obtained with GetSerManager. It builds,
/// keeps and owns every port until FreeSerManager. It takes no lock: call it
/// from one thread at a time.
class KQ_API ISerManager {
public:
    /// The port for a type code and/or a definition string. Ports are keyed
    /// by type code: when a port already has @p type it is returned as it is
    /// and @p def is not looked at, so two peers requested with one code get
    /// one port; give each its own code. Otherwise the class bits of @p type
    /// (KQ_CLASS_MASK) choose the kind: a serial port, built from @p def
    /// (whose device name sets its type code; a port with that code is
    /// returned instead) or, when @p def is null, from the port number in
    /// @p type; a network port, whose type code becomes 0x200000 plus the low
    /// 16 bits of @p type; the one GPIO port (type code 0x800001 whatever is
    /// asked). USB codes (0x400000) give null. A new network port built from
    /// @p def first carries 0x200000 plus its TCP or UDP port: when a port
    /// has that code already, that port is returned, re-keyed to @p type. So
    /// for several peers choose codes whose low 16 bits are none of their
    /// ports (0x200001, 0x200002, ...). The port comes back closed when new, else as its
    /// last user left it. The manager owns it: never delete it.
    virtual ISerBase* GetSer(const char* def, int type) = 0;
};

#endif
