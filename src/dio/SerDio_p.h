// SPDX-License-Identifier: MIT
// Digital I/O port over the GPIO driver "/dev/gpio".
#ifndef KQSER_SERDIO_H
#define KQSER_SERDIO_H

#include "SerBase_p.h"

class KQ_API CSerDio : public CSerBase {
public:
    explicit CSerDio(const char* def);

    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    // Samples line 18 into buf[0] and, when len > 1, line 17 into buf[1].
    int Read(unsigned char* buf, int len, int timeout) override;
    // buf[0] selects the line (0, 1, or s + 15), buf[1] the level.
    int Write(const unsigned char* buf, int len) override;
    using CSerBase::Write;

    ~CSerDio() override;

protected:
    int m_nHandle;
};

#endif
