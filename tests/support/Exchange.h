// SPDX-License-Identifier: MIT
// The request/response protocol that the test peers serve: a request of
// kRequestSize bytes and its reply of kReplySize bytes, both a function of a
// sequence number.
#ifndef KQTEST_EXCHANGE_H
#define KQTEST_EXCHANGE_H

#include <cstdint>
#include <string>

namespace kqtest {

// No byte is 0x00: a serial read drops a NUL that arrives first, and any
// read may start at any byte.
constexpr int kRequestSize = 8;
constexpr int kReplySize = 16;
std::string Request(uint32_t seq);
std::string Reply(uint32_t seq);

}  // namespace kqtest

#endif
