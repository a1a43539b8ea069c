// Serial port: construction, definition strings, type codes and the note.
#include "SerCom.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "KqLog.h"
#include "TextUtil.h"

namespace {

// A separator scan of a definition string: the position where the port
// digit stands right before the first ':' (the device name ends there).
bool IsBoundary(const char* s, size_t n, size_t p) {
    return std::isdigit(static_cast<unsigned char>(s[p])) && p + 1 < n && s[p + 1] == ':';
}

bool IsSeparator(char c) {
    return c == ':' || c == ',';
}

// Segments are held in a 16-byte buffer, as the device name is.
constexpr size_t kFieldSize = 16;

struct Prefix {
    const char* text;
    size_t len;
    int kind;
};

const Prefix kPrefixes[] = {
    {"ESL", 3, KQ_KIND_SERIAL_B},    {"ttyXRUSB", 8, KQ_KIND_SERIAL_B},
    {"ttyEXA", 6, KQ_KIND_SERIAL_B}, {"ttySBC", 6, KQ_KIND_SERIAL_B},
    {"ttyUSB", 6, KQ_KIND_SERIAL_C}, {"ttyFT", 5, KQ_KIND_SERIAL_C},
    {"ttyEC", 5, KQ_KIND_SERIAL_C},  {"ttyACM", 6, KQ_KIND_SERIAL_C},
};

}  // namespace

CSerCom::CSerCom(int number) : CSerBase(number) {
    InitCom();
}

CSerCom::CSerCom(const char* def) : CSerBase(def) {
    InitCom();
    UpdParams(def);
}

CSerCom::~CSerCom() {
    // A host may free the manager without closing; never leak the line.
    if (m_nHandle >= 0) {
        ::close(m_nHandle);
        m_nHandle = -1;
    }
}

void CSerCom::InitCom() {
    std::strcpy(m_szDevice, "COM");
    m_nBaud = 9600;
    m_nParity = 0;
    m_nDataBits = 8;
    m_nStopBits = 1;
    m_nHandle = -1;
    m_nWaitValue = 1000;
    m_bWait = false;
    m_nKind = KQ_KIND_SERIAL;
    UpdNote();
    KQ_LOG("CSerCom InitCom: %x  %d\r\n", KQ_ADDR(this), m_nNumber);
}

void CSerCom::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') {
        return;
    }
    m_nKind = KQ_KIND_SERIAL;
    const size_t n = std::strlen(def);
    int field = 0;
    size_t start = 0;
    for (size_t p = 0; p < n; ++p) {
        if (field == 0 && IsBoundary(def, n, p)) {
            m_nKind = GetDefKind(def);
            kq::CopyCut(m_szDevice, sizeof m_szDevice, def, p);
            start = p;
            field = 1;
        }
        if (!IsSeparator(def[p]) && p != n - 1) {
            continue;
        }
        // The last character always closes the last segment, separator or not.
        const size_t end = (p == n - 1) ? n : p;
        char seg[kFieldSize];
        kq::CopyCut(seg, sizeof seg, def + start, end > start ? end - start : 0);
        switch (field++) {
            case 1: m_nNumber = kq::ToInt(seg); break;
            case 2: kq::ReadDecimal(seg, &m_nBaud); break;
            case 3:
                switch (seg[0]) {
                    case 'E':
                    case 'e': m_nParity = 2; break;
                    case 'O':
                    case 'o': m_nParity = 1; break;
                    case 'M':
                    case 'm': m_nParity = 3; break;
                    case 'S':
                    case 's': m_nParity = 4; break;
                    default: m_nParity = 0; break;
                }
                break;
            case 4: kq::ReadDecimal(seg, &m_nDataBits); break;
            case 5:
                if (std::strcmp(seg, "1") == 0) {
                    m_nStopBits = 0;
                } else if (std::strcmp(seg, "1.5") == 0) {
                    m_nStopBits = 1;
                } else if (std::strcmp(seg, "2") == 0) {
                    m_nStopBits = 2;
                }
                break;
            default: break;  // before the boundary, or beyond the stop bits
        }
        start = p + 1;
    }
    KQ_LOG("CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n", m_szDevice, m_nNumber, m_nParity,
           m_nStopBits);
    UpdNote();
}

void CSerCom::UpdNote() {
    char parity;
    switch (m_nParity) {
        case 1: parity = 'O'; break;
        case 2: parity = 'e'; break;
        case 3: parity = 'm'; break;
        case 4: parity = 's'; break;
        default: parity = 'n'; break;
    }
    char text[64] = {};
    std::snprintf(text, sizeof text, "%s%d:%d,%c,%d,", m_szDevice, m_nNumber, m_nBaud, parity,
                  m_nDataBits);
    m_strNote = text;
    m_strNote += (m_nStopBits == 1) ? "1.5" : (m_nStopBits == 2) ? "2" : "1";
}

int CSerCom::GetDefKind(const char* def) {
    if (def == nullptr) {
        return KQ_KIND_SERIAL;
    }
    for (const Prefix& prefix : kPrefixes) {
        if (strncasecmp(def, prefix.text, prefix.len) == 0) {
            return prefix.kind;
        }
    }
    return KQ_KIND_SERIAL;
}

int CSerCom::GetDefType(const char* def) {
    if (def == nullptr || def[0] == '\0') {
        return 0;
    }
    const size_t n = std::strlen(def);
    int kind = 0;
    size_t start = 0;
    bool bounded = false;
    for (size_t p = 0; p < n; ++p) {
        if (!bounded && IsBoundary(def, n, p)) {
            kind = GetDefKind(def);
            start = p;
            bounded = true;
        }
        if (IsSeparator(def[p]) || p == n - 1) {
            const size_t end = (p == n - 1) ? n : p;
            char seg[kFieldSize];
            kq::CopyCut(seg, sizeof seg, def + start, end > start ? end - start : 0);
            return kq::WrapAdd(kind, kq::ToInt(seg));
        }
    }
    return kind;
}

int CSerCom::Wait() {
    m_bWait = false;
    m_bWait = true;
    return 0;
}

int CSerCom::WaitProc(void* port) {
    if (port == nullptr) {
        return 0;
    }
    return static_cast<CSerCom*>(port)->Wait();
}
