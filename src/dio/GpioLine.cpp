// SPDX-License-Identifier: MIT
#include "GpioLine_p.h"

namespace kq {

int GpioLineOfSelector(int selector) {
    return selector <= 1 ? selector : selector + 15;
}

}  // namespace kq
