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
    std::atomic<size_t> count{0};
};

Table& TheTable() {
    static Table* const table = new Table();
    return *table;
}

}  // namespace

PortExtras* FindExtras(const void* port) {
    Table& table = TheTable();
    // Without a configuration file no port has extras: no lock at all.
    if (table.count.load(std::memory_order_acquire) == 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(table.lock);
    const auto it = table.extras.find(port);
    return it != table.extras.end() ? &it->second : nullptr;
}

PortExtras& ExtrasFor(const void* port) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    PortExtras& extras = table.extras[port];
    table.count.store(table.extras.size(), std::memory_order_release);
    return extras;
}

void DropExtras(const void* port) {
    Table& table = TheTable();
    if (table.count.load(std::memory_order_acquire) == 0) {
        return;
    }
    std::lock_guard<std::mutex> hold(table.lock);
    table.extras.erase(port);
    table.count.store(table.extras.size(), std::memory_order_release);
}

}  // namespace kq
