// SPDX-License-Identifier: MIT
// Placeholder port of the USB class: base behaviour only.
#ifndef KQSER_SERUSB_H
#define KQSER_SERUSB_H

#include "SerBase_p.h"

class KQ_API CSerUsb : public CSerBase {
public:
    CSerUsb();
    ~CSerUsb() override;
};

#endif
