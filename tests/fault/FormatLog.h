// The silent build's log calls, received as a host receives them (this test
// program defines and exports trace_log). Only the formats are kept, in fixed
// room: the calls come while the library's heap is measured.
#ifndef KQTEST_FORMATLOG_H
#define KQTEST_FORMATLOG_H

namespace kqtest {

void ClearFormats();
// Whether the library logged a line with exactly this format since the last clear.
bool Logged(const char* format);

}  // namespace kqtest

#endif
