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

namespace kqsoak {

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

namespace {

// Bytes 1..255 only.
uint8_t Digit(uint32_t v) {
    return static_cast<uint8_t>(1 + v % 255);
}

}  // namespace

std::string Request(uint32_t seq) {
    std::string r(kRequestSize, '\0');
    r[0] = 0x51;
    for (int i = 0; i < 4; ++i) {
        r[1 + i] = static_cast<char>(Digit(seq >> (8 * i)));
    }
    r[5] = static_cast<char>(Digit(seq * 7));
    r[6] = static_cast<char>(Digit(seq * 13 + 1));
    r[7] = 0x7E;
    return r;
}

std::string Reply(uint32_t seq) {
    std::string r(kReplySize, '\0');
    r[0] = static_cast<char>(0xA5);
    for (int i = 1; i < kReplySize; ++i) {
        r[i] = static_cast<char>(Digit(seq * 31 + static_cast<uint32_t>(i) * 7 + (seq >> 8)));
    }
    return r;
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

}  // namespace kqsoak
