// SPDX-License-Identifier: MIT
#include "FaultPlan.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace kqtest {

namespace {

using interpose::Fn;

constexpr FaultKind E(int err) {
    return FaultKind{err, -1};
}
// Cut to one byte: the shortest count a call can return without ending.
constexpr FaultKind kShort{0, 1};

const std::map<Fn, std::vector<FaultKind>>& Table() {
    static const std::map<Fn, std::vector<FaultKind>> table = {
        {Fn::open, {E(EINTR), E(EACCES), E(EIO), E(ENOMEM), E(ENOSPC)}},
        {Fn::close, {E(EINTR), E(EIO)}},
        {Fn::read, {E(EINTR), E(EAGAIN), E(EIO), E(EBADF), kShort}},
        {Fn::write, {E(EINTR), E(EAGAIN), E(EIO), E(EBADF), E(ENOSPC), E(EPIPE), kShort}},
        {Fn::ioctl, {E(EINTR), E(EIO), E(EBADF)}},
        {Fn::fcntl, {E(EINTR), E(EBADF), E(EINVAL)}},
        {Fn::flock, {E(EINTR), E(EWOULDBLOCK), E(ENOLCK)}},
        {Fn::tcgetattr, {E(EBADF), E(ENOTTY), E(EIO)}},
        {Fn::tcsetattr, {E(EINTR), E(EINVAL), E(EIO)}},
        {Fn::tcflush, {E(EINTR), E(EBADF), E(EIO)}},
        {Fn::tcdrain, {E(EINTR), E(EIO), E(EBADF)}},
        {Fn::poll, {E(EINTR), E(ENOMEM)}},
        {Fn::ppoll, {E(EINTR), E(ENOMEM)}},
        {Fn::usleep, {E(EINTR)}},
        {Fn::nanosleep, {E(EINTR)}},
        {Fn::clock_nanosleep, {E(EINTR), E(EINVAL)}},
        {Fn::socket, {E(EACCES), E(EMFILE), E(ENOBUFS), E(ENOMEM)}},
        {Fn::setsockopt, {E(EBADF), E(EINVAL), E(ENOMEM), E(ENOBUFS)}},
        {Fn::getsockopt, {E(EBADF), E(EINVAL)}},
        {Fn::connect,
         {E(EINTR), E(EAGAIN), E(ECONNREFUSED), E(ETIMEDOUT), E(EACCES), E(ENETUNREACH)}},
        {Fn::bind, {E(EACCES), E(EADDRINUSE), E(ENOMEM)}},
        {Fn::listen, {E(EADDRINUSE), E(EBADF)}},
        {Fn::accept, {E(EINTR), E(EAGAIN), E(ECONNABORTED), E(EMFILE), E(ENOBUFS)}},
        {Fn::accept4, {E(EINTR), E(EAGAIN), E(ECONNABORTED), E(EMFILE), E(ENOBUFS)}},
        {Fn::send, {E(EINTR), E(EAGAIN), E(ECONNRESET), E(EPIPE), E(ENOBUFS), kShort}},
        {Fn::sendto, {E(EINTR), E(EAGAIN), E(ECONNRESET), E(EPIPE), E(ENOBUFS), kShort}},
        {Fn::recv, {E(EINTR), E(EAGAIN), E(ECONNRESET), E(ETIMEDOUT), E(ENOMEM), kShort}},
        {Fn::recvfrom, {E(EINTR), E(EAGAIN), E(ECONNRESET), E(ETIMEDOUT), E(ENOMEM), kShort}},
        {Fn::shutdown, {E(ENOTCONN), E(EBADF)}},
        {Fn::getsockname, {E(EBADF), E(ENOBUFS), E(ENOTCONN)}},
        {Fn::getpeername, {E(EBADF), E(ENOBUFS), E(ENOTCONN)}},
        {Fn::gethostname, {E(ENAMETOOLONG), E(EINVAL)}},
        {Fn::gethostbyname, {E(HOST_NOT_FOUND), E(TRY_AGAIN), E(NO_RECOVERY)}},
        {Fn::getservbyname, {E(ENOENT)}},
        {Fn::stat, {E(EACCES), E(EIO), E(ENOMEM), E(ENOENT)}},
        {Fn::lstat, {E(EACCES), E(EIO), E(ENOMEM), E(ENOENT)}},
        {Fn::fstat, {E(EBADF), E(EIO), E(ENOMEM)}},
        {Fn::fsync, {E(EINTR), E(EIO), E(ENOSPC)}},
        {Fn::ftruncate, {E(EINTR), E(EIO), E(EPERM)}},
        {Fn::fchmod, {E(EPERM), E(EIO)}},
        {Fn::fchown, {E(EPERM), E(EIO)}},
        {Fn::rename, {E(EACCES), E(EIO), E(ENOSPC), E(EXDEV), E(EBUSY)}},
        {Fn::renameat2, {E(EEXIST), E(EACCES), E(EIO), E(ENOSPC), E(EINVAL)}},
        {Fn::unlink, {E(EACCES), E(EIO), E(EBUSY)}},
        {Fn::readlink, {E(EACCES), E(EIO)}},
        {Fn::realpath, {E(EACCES), E(ENOENT), E(ENOMEM)}},
        {Fn::opendir, {E(EACCES), E(EMFILE), E(ENOMEM)}},
        {Fn::readdir, {E(EIO), E(EBADF)}},
        {Fn::closedir, {E(EINTR), E(EIO)}},
        {Fn::kill, {E(EPERM), E(ESRCH)}},
    };
    return table;
}

// errno names: strerror gives sentences, and the table is read by people
// who grep for EINTR.
const char* ErrName(int err) {
    switch (err) {
#define KQ_NAME(e) \
    case e: return #e;
        KQ_NAME(EINTR)
        KQ_NAME(EAGAIN)
        KQ_NAME(EIO)
        KQ_NAME(EBADF)
        KQ_NAME(EACCES)
        KQ_NAME(ENOMEM)
        KQ_NAME(ENOSPC)
        KQ_NAME(EPIPE)
        KQ_NAME(EINVAL)
        KQ_NAME(ENOLCK)
        KQ_NAME(ENOTTY)
        KQ_NAME(EMFILE)
        KQ_NAME(ENOBUFS)
        KQ_NAME(ECONNREFUSED)
        KQ_NAME(ETIMEDOUT)
        KQ_NAME(ENETUNREACH)
        KQ_NAME(EADDRINUSE)
        KQ_NAME(ECONNABORTED)
        KQ_NAME(ECONNRESET)
        KQ_NAME(ENOTCONN)
        KQ_NAME(ENAMETOOLONG)
        KQ_NAME(ENOENT)
        KQ_NAME(EPERM)
        KQ_NAME(EXDEV)
        KQ_NAME(EBUSY)
        KQ_NAME(ESRCH)
        KQ_NAME(EEXIST)
#undef KQ_NAME
        default: return nullptr;
    }
}

}  // namespace

const std::vector<FaultKind>& FaultsFor(Fn fn) {
    static const std::vector<FaultKind> none;
    const auto it = Table().find(fn);
    return it != Table().end() ? it->second : none;
}

std::string FaultName(Fn fn, const FaultKind& kind) {
    if (kind.err == 0) {
        return "short";
    }
    if (fn == Fn::gethostbyname) {
        switch (kind.err) {
            case HOST_NOT_FOUND: return "HOST_NOT_FOUND";
            case TRY_AGAIN: return "TRY_AGAIN";
            case NO_RECOVERY: return "NO_RECOVERY";
            default: break;
        }
    }
    if (fn == Fn::getservbyname) {
        return "none";  // not listed: no errno
    }
    const char* name = ErrName(kind.err);
    return name != nullptr ? name : "errno " + std::to_string(kind.err);
}

Fault MakeFault(Fn fn, int nth, const FaultKind& kind) {
    Fault f;
    f.fn = fn;
    f.nth = nth;
    f.err = kind.err;
    f.shortTo = kind.shortTo;
    return f;
}

std::vector<Injection> Plan(const int (&calls)[interpose::kFnCount], Keep keep) {
    std::vector<Injection> plan;
    for (int i = 0; i < interpose::kFnCount; ++i) {
        const Fn fn = static_cast<Fn>(i);
        for (int nth = 1; nth <= calls[i]; ++nth) {
            for (const FaultKind& kind : FaultsFor(fn)) {
                if (keep == nullptr || keep(fn, kind)) {
                    plan.push_back({fn, nth, kind});
                }
            }
        }
    }
    return plan;
}

std::vector<Injection> Sample(const std::vector<Injection>& all, size_t stride, size_t max) {
    std::vector<Injection> some;
    for (size_t i = 0; i < all.size() && some.size() < max; i += stride == 0 ? 1 : stride) {
        some.push_back(all[i]);
    }
    return some;
}

}  // namespace kqtest
