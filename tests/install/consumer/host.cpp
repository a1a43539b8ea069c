// SPDX-License-Identifier: MIT
// Uses the installed headers and library the way a host application does.
#include "kqSer.h"

#include <cstdio>
#include <cstring>

#include "ISerBase.h"

int main() {
    ISerManager* manager = GetSerManager();
    ISerBase* port =
        manager != nullptr ? manager->GetSer("ttyUSB0:115200,N,8,1", 0x120000) : nullptr;
    if (port == nullptr || port->GetType() != 0x120000 ||
        std::strcmp(port->GetNote(), "ttyUSB0:115200,n,8,1") != 0) {
        std::printf("unexpected port\n");
        return 1;
    }
    std::printf("%s | %s\n", DllNote(), port->GetNote());
    FreeSerManager();  // the result only tells whether the log-config file was written
    return 0;
}
