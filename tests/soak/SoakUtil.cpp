// SPDX-License-Identifier: MIT
#include "SoakUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace kqsoak {

using kqtest::kReplySize;
using kqtest::kRequestSize;
using kqtest::Reply;
using kqtest::Request;

int Exchanges() {
    const char* text = std::getenv("KQSER_SOAK_EXCHANGES");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 3000;
}

void Figures::SampleFirst() {
    fdsFirst = kqtest::OpenFdCount();
    rssFirstKb = kqtest::StatusKb("VmRSS");
    anonFirstKb = kqtest::StatusKb("RssAnon");
}

void Figures::SampleLast() {
    fdsLast = kqtest::OpenFdCount();
    rssLastKb = kqtest::StatusKb("VmRSS");
    anonLastKb = kqtest::StatusKb("RssAnon");
}

std::string ReadFull(ISerBase* port, int n, int timeoutMs, int deadlineMs) {
    std::string got;
    unsigned char buf[256];
    const double end = kqtest::NowMs() + deadlineMs;
    int failures = 0;
    // IsOpened is not asked: on a closed network port it reconnects.
    while (static_cast<int>(got.size()) < n && kqtest::NowMs() < end && failures < 3) {
        const int want = n - static_cast<int>(got.size());
        const int r = port->Read(buf, want < 256 ? want : 256, timeoutMs);
        if (r > 0) {
            got.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(r));
        } else if (r < 0) {
            ++failures;
        }
    }
    return got;
}

bool WriteFull(ISerBase* port, const std::string& bytes) {
    size_t done = 0;
    int attempts = 0;
    while (done < bytes.size() && attempts++ < 100) {
        const int n = port->Write(reinterpret_cast<const unsigned char*>(bytes.data()) + done,
                                  static_cast<int>(bytes.size() - done));
        if (n < 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return done == bytes.size();
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

std::string Figures::Text() const {
    char text[200];
    std::snprintf(text, sizeof text,
                  "open descriptors %d -> %d, resident memory %ld KiB -> %ld KiB (anonymous %ld "
                  "KiB -> %ld KiB)",
                  fdsFirst, fdsLast, rssFirstKb, rssLastKb, anonFirstKb, anonLastKb);
    return text;
}

SoakRun RunExchanges(ISerBase* port, int total, int timeoutMs) {
    SoakRun run;
    run.window = std::min(10000, std::max(1, total / 10));
    const double start = kqtest::NowMs();
    {
        QuietStdout quiet;
        if (port->Open(nullptr) != 1) {
            run.fault = "open failed";
        }
        for (int seq = 0; run.fault.empty() && seq < total; ++seq) {
            if (!WriteFull(port, Request(static_cast<uint32_t>(seq)))) {
                run.fault = "write failed at exchange " + std::to_string(seq);
                break;
            }
            const std::string reply = ReadFull(port, kReplySize, timeoutMs, 5000);
            if (reply != Reply(static_cast<uint32_t>(seq))) {
                run.fault = "reply " + std::to_string(seq) + " lost or reordered (" +
                            std::to_string(reply.size()) + " bytes)";
                break;
            }
            if (++run.done == run.window) {
                run.figures.SampleFirst();
            }
        }
        run.figures.SampleLast();
        port->Close();
    }
    run.seconds = (kqtest::NowMs() - start) / 1000;
    return run;
}

void ExpectSteady(const SoakRun& run, const char* what) {
    EXPECT_EQ(run.figures.fdsLast, run.figures.fdsFirst);
    if (kRssMeaningful) {
        EXPECT_LE(run.figures.anonLastKb, run.figures.anonFirstKb + kRssSlackKb);
    }
    std::printf("soak: %s %s %d exchanges in %.1f s (%d per window), %s\n", kVariant, what,
                run.done, run.seconds, run.window, run.figures.Text().c_str());
}

}  // namespace kqsoak
