// SPDX-License-Identifier: MIT
#include "PortExtras_p.h"

#include <mutex>
#include <unordered_map>

namespace kq {

namespace {

// Never destroyed: a port may be destroyed during the process's exit, after
// a table with static storage would be gone.
struct Table {
    std::mutex lock;
    std::unordered_map<const CSerBase*, std::unique_ptr<PortExtras>> extras;
};

Table& TheTable() {
    static Table* const table = new Table();
    return *table;
}

}  // namespace

std::atomic<size_t> g_portsWithExtras{0};

PortExtras* FindExtrasLocked(const CSerBase* port) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    const auto it = table.extras.find(port);
    return it != table.extras.end() ? it->second.get() : nullptr;
}

PortExtras& RenewExtras(const CSerBase* port, std::unique_ptr<PortExtras> (*make)()) {
    std::unique_ptr<PortExtras> fresh = make();
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    std::unique_ptr<PortExtras>& slot = table.extras[port];
    if (slot != nullptr) {
        fresh->capture = std::move(slot->capture);
    }
    slot = std::move(fresh);
    g_portsWithExtras.store(table.extras.size(), std::memory_order_release);
    return *slot;
}

void DropExtras(const CSerBase* port) {
    if (g_portsWithExtras.load(std::memory_order_acquire) == 0) {
        return;
    }
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.extras.erase(port);
    g_portsWithExtras.store(table.extras.size(), std::memory_order_release);
}

}  // namespace kq
