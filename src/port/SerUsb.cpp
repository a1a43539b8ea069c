// SPDX-License-Identifier: MIT
#include "SerUsb_p.h"

CSerUsb::CSerUsb() : CSerBase(1) {}

CSerUsb::~CSerUsb() = default;
