// SPDX-License-Identifier: MIT
// Helpers for the socket handle tests: forked children (optionally in a
// private network namespace), the local hosts table, and a guard on the
// resolver so that no test can send a name query off this machine.
#ifndef KQTEST_SOCKTESTUTIL_H
#define KQTEST_SOCKTESTUTIL_H

#include <functional>
#include <string>

namespace socktest {

enum class Net {
    Shared,           // this machine's network
    Private,          // a fresh namespace, loopback down: nothing can leave
    PrivateLoopback,  // a fresh namespace with loopback up
};

struct ChildResult {
    bool skipped = false;
    std::string message;  // empty when the child's checks all held
};

// Runs fn in a forked child and returns what it reported. fn returns the
// failures it found (empty: none). A child that dies, hangs past
// timeoutMs or cannot enter its namespace is reported too (the last as
// skipped, with the reason).
ChildResult RunInChild(const std::function<std::string()>& fn, Net net, int timeoutMs = 20000);

// Runs fn where looking up the local host name cannot leave the machine:
// here when /etc/hosts lists the name, else in a private namespace.
ChildResult RunWithLocalName(const std::function<std::string()>& fn);

// Collects failed checks of a child as text.
class Checks {
public:
    void Expect(bool ok, const std::string& what) {
        if (!ok) {
            failures_ += what + "\n";
        }
    }
    template <class A, class B>
    void Equal(const A& actual, const B& expected, const std::string& what) {
        if (!(actual == expected)) {
            failures_ += what + ": got " + ToText(actual) + ", expected " + ToText(expected) + "\n";
        }
    }
    const std::string& Failures() const { return failures_; }

private:
    static std::string ToText(const std::string& s) { return "\"" + s + "\""; }
    static std::string ToText(const char* s) { return s ? ToText(std::string(s)) : "null"; }
    template <class T>
    static std::string ToText(const T& v) {
        return std::to_string(v);
    }
    std::string failures_;
};

// The official name and IPv4 address that /etc/hosts gives for name.
bool HostsEntry(const std::string& name, std::string* official, std::string* address);
std::string HostName();

// Resolver guard in this test binary: gethostbyname of a name that
// /etc/hosts does not list fails without a query, unless allowed (inside a
// private namespace). Counts every call the library makes.
void AllowAnyLookup(bool allow);
int LookupCount();

bool FdOpen(int fd);

}  // namespace socktest

#define EXPECT_CHILD_OK(expr)                        \
    do {                                             \
        const ::socktest::ChildResult r_ = (expr);   \
        if (r_.skipped) {                            \
            GTEST_SKIP() << r_.message;              \
        }                                            \
        EXPECT_EQ(r_.message, "") << "in the child"; \
    } while (0)

#endif
