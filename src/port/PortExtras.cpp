// SPDX-License-Identifier: MIT
#include "PortExtras_p.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace kq {

namespace {

// Never destroyed: a port may be destroyed during the process's exit, after
// a table with static storage would be gone.
struct Table {
    std::mutex lock;
    std::unordered_map<const void*, PortExtras> extras;  // nodes: stable addresses
};

Table& TheTable() {
    static Table* const table = new Table();
    return *table;
}

}  // namespace

std::atomic<size_t> g_portsWithExtras{0};

PortExtras* FindExtrasLocked(const void* port) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    const auto it = table.extras.find(port);
    return it != table.extras.end() ? &it->second : nullptr;
}

PortExtras& ExtrasFor(const void* port) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    PortExtras& extras = table.extras[port];
    g_portsWithExtras.store(table.extras.size(), std::memory_order_release);
    return extras;
}

void DropExtras(const void* port) {
    if (g_portsWithExtras.load(std::memory_order_acquire) == 0) {
        return;
    }
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.extras.erase(port);
    g_portsWithExtras.store(table.extras.size(), std::memory_order_release);
}

}  // namespace kq
