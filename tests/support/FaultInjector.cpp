// SPDX-License-Identifier: MIT
#include "FaultInjector.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>

namespace kqtest {

namespace {

using interpose::Call;
using interpose::Fn;

struct Search {
    uintptr_t symbol;
    uintptr_t base = 0;
    uintptr_t start = 0;
    uintptr_t end = 0;
    bool found = false;
};

// The executable segment of the object whose segments hold the symbol.
int FindObject(dl_phdr_info* info, size_t /*size*/, void* data) {
    auto* s = static_cast<Search*>(data);
    bool holds = false;
    uintptr_t start = 0;
    uintptr_t end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) {
            continue;
        }
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        const uintptr_t hi = lo + ph.p_memsz;
        holds = holds || (s->symbol >= lo && s->symbol < hi);
        if ((ph.p_flags & PF_X) != 0) {
            start = start == 0 ? lo : std::min(start, lo);
            end = std::max(end, hi);
        }
    }
    if (!holds) {
        return 0;
    }
    s->base = info->dlpi_addr;
    s->start = start;
    s->end = end;
    s->found = true;
    return 1;
}

bool Opens(Fn fn) {
    return fn == Fn::open || fn == Fn::socket || fn == Fn::accept || fn == Fn::accept4;
}

}  // namespace

FaultInjector::FaultInjector(const void* symbol) {
    Search s;
    s.symbol = reinterpret_cast<uintptr_t>(symbol);
    dl_iterate_phdr(FindObject, &s);
    Dl_info info{};
    if (s.found && dladdr(symbol, &info) != 0 && info.dli_fname != nullptr) {
        base_ = s.base;
        start_ = s.start;
        end_ = s.end;
        path_ = info.dli_fname;
    }
    interpose::Add(this);
}

FaultInjector::~FaultInjector() {
    interpose::Remove(this);
}

void FaultInjector::Start(const Fault& fault) {
    std::lock_guard<std::mutex> hold(lock_);
    fault_ = fault;
    landed_ = false;
    landedSite_ = 0;
    landedFd_ = -1;
    landedPath_[0] = '\0';
    std::fill(std::begin(calls_), std::end(calls_), 0);
    counting_ = true;
}

void FaultInjector::Stop() {
    std::lock_guard<std::mutex> hold(lock_);
    counting_ = false;
}

int FaultInjector::Calls(Fn fn) const {
    std::lock_guard<std::mutex> hold(lock_);
    const int i = static_cast<int>(fn);
    return i >= 0 && i < interpose::kFnCount ? calls_[i] : 0;
}

bool FaultInjector::Landed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return landed_;
}

uint32_t FaultInjector::LandedSite() const {
    std::lock_guard<std::mutex> hold(lock_);
    return landedSite_;
}

int FaultInjector::LandedFd() const {
    std::lock_guard<std::mutex> hold(lock_);
    return landedFd_;
}

std::string FaultInjector::LandedPath() const {
    std::lock_guard<std::mutex> hold(lock_);
    return landedPath_;
}

int FaultInjector::Held() const {
    std::lock_guard<std::mutex> hold(lock_);
    int held = static_cast<int>(std::count(std::begin(heldFd_), std::end(heldFd_), 1));
    for (const void* dir : heldDirs_) {
        held += dir != nullptr ? 1 : 0;
    }
    return held;
}

bool FaultInjector::Fail(Call& call, int* err) {
    if (!Watched(call.caller)) {
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (!counting_) {
        return false;
    }
    const int n = ++calls_[static_cast<int>(call.fn)];
    if (landed_ || call.fn != fault_.fn || n != fault_.nth) {
        return false;
    }
    landed_ = true;
    landedSite_ = static_cast<uint32_t>(call.caller - base_);
    landedFd_ = call.fd;
    // A copy: the call's text is the caller's, and lives only as long.
    std::snprintf(landedPath_, sizeof landedPath_, "%s", call.path != nullptr ? call.path : "");
    if (fault_.err != 0) {
        *err = fault_.err;
        return true;
    }
    if (call.count != nullptr && fault_.shortTo >= 0 &&
        static_cast<size_t>(fault_.shortTo) < *call.count) {
        *call.count = static_cast<size_t>(fault_.shortTo);
    }
    return false;
}

void FaultInjector::Done(const Call& call, long result, int /*err*/) {
    if (!Watched(call.caller)) {
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (Opens(call.fn) && result >= 0 && result < kMaxFd) {
        heldFd_[result] = 1;
    } else if (call.fn == Fn::close && call.fd >= 0 && call.fd < kMaxFd) {
        heldFd_[call.fd] = 0;  // freed whatever close reported
    } else if (call.fn == Fn::opendir && result != 0) {
        const auto slot = std::find(std::begin(heldDirs_), std::end(heldDirs_), nullptr);
        if (slot != std::end(heldDirs_)) {
            *slot = reinterpret_cast<const void*>(result);
        }
    } else if (call.fn == Fn::closedir) {
        const auto slot = std::find(std::begin(heldDirs_), std::end(heldDirs_), call.data);
        if (slot != std::end(heldDirs_)) {
            *slot = nullptr;
        }
    }
}

}  // namespace kqtest
