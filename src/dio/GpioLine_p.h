// SPDX-License-Identifier: MIT
// Which GPIO line a write command's selector drives. Pure; part of the core.
// Internal.
#ifndef KQSER_GPIOLINE_P_H
#define KQSER_GPIOLINE_P_H

#include "ISerBase.h"

namespace kq {

// The type code of the GPIO port: its kind and its one number.
constexpr int kGpioTypeCode = KQ_KIND_DIO + 1;

// Selectors 0 and 1 drive lines 0 and 1; any other selector s drives line
// s + 15 (2 gives 17, 3 gives 18), the lines Read samples being 18 and 17.
int GpioLineOfSelector(int selector);

// The lines Read samples, in the order of the bytes it fills.
constexpr int kGpioFirstSampledLine = 18;
constexpr int kGpioSecondSampledLine = 17;

}  // namespace kq

#endif
