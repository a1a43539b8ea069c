// SPDX-License-Identifier: MIT
// Traffic capture: every Read and Write of a port whose section names a
// capture file appends one record to it (CaptureFormat_p.h), with the
// rotation and failure rules of the log file (AppendFile_p.h). Ports that
// name the same file share it. Internal.
#ifndef KQSER_PORTCAPTURE_P_H
#define KQSER_PORTCAPTURE_P_H

#include "Config_p.h"
#include "PortExtras_p.h"

class CSerBase;

namespace kq {

// Called by Open with the options it resolved for the port, into the
// port's extras: starts (a file), changes or stops (none) its capture.
void UseCapture(PortExtras* extras, const CaptureOptions& options);

// Records one Read (tx false) or Write whose result is count: count bytes of
// buf when count > 0. Leaves errno as it was.
void CaptureTraffic(CSerBase* port, bool tx, const unsigned char* buf, int count);

// Capture needs a port's extras: while no port has any, a Read or Write
// costs one load and a branch here.
__attribute__((always_inline)) inline void CaptureRead(CSerBase* port, const unsigned char* buf,
                                                       int count) {
    if (g_portsWithExtras.load(std::memory_order_acquire) != 0) {
        CaptureTraffic(port, false, buf, count);
    }
}
__attribute__((always_inline)) inline void CaptureWrite(CSerBase* port, const unsigned char* buf,
                                                        int count) {
    if (g_portsWithExtras.load(std::memory_order_acquire) != 0) {
        CaptureTraffic(port, true, buf, count);
    }
}

}  // namespace kq

#endif
