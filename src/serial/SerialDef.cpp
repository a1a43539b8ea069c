// SPDX-License-Identifier: MIT
#include "SerialDef_p.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "ISerBase.h"
#include "TextUtil_p.h"

namespace kq {

namespace {

struct Prefix {
    const char* text;
    size_t len;
    int kind;
};

// Checked in this order; the first match decides.
const Prefix kPrefixes[] = {
    {"ESL", 3, KQ_KIND_SERIAL_B},    {"ttyXRUSB", 8, KQ_KIND_SERIAL_B},
    {"ttyEXA", 6, KQ_KIND_SERIAL_B}, {"ttySBC", 6, KQ_KIND_SERIAL_B},
    {"ttyUSB", 6, KQ_KIND_SERIAL_C}, {"ttyFT", 5, KQ_KIND_SERIAL_C},
    {"ttyEC", 5, KQ_KIND_SERIAL_C},  {"ttyACM", 6, KQ_KIND_SERIAL_C},
};

bool IsSeparator(char c) {
    return c == ':' || c == ',';
}

void Keep(SerialDefText* to, const char* from, size_t n) {
    to->present = true;
    CopyCut(to->text, sizeof to->text, from, n);
    to->length = n;
}

}  // namespace

SerialDefScan ScanSerialDef(const char* def) {
    SerialDefScan scan;
    if (def == nullptr || def[0] == '\0') {
        return scan;
    }
    const size_t n = std::strlen(def);
    const size_t first = std::strcspn(def, ":,");
    scan.bounded = first < n && first > 0 && def[first] == ':' &&
                   std::isdigit(static_cast<unsigned char>(def[first - 1]));
    // The segments in the order they stand; the lead only without a port digit.
    SerialDefText* const fields[] = {&scan.lead,   &scan.number,   &scan.baud,
                                     &scan.parity, &scan.dataBits, &scan.stopBits};
    size_t start = 0;
    size_t field = 0;
    if (scan.bounded) {
        Keep(&scan.device, def, first - 1);
        start = first - 1;
        field = 1;
    }
    for (size_t p = start; p < n && field < sizeof fields / sizeof fields[0]; ++p) {
        if (!IsSeparator(def[p]) && p != n - 1) {
            continue;
        }
        const size_t end = (p == n - 1) ? n : p;
        Keep(fields[field++], def + start, end - start);
        start = p + 1;
    }
    return scan;
}

int SerialKindOf(const char* def) {
    if (def != nullptr) {
        for (const Prefix& prefix : kPrefixes) {
            if (strncasecmp(def, prefix.text, prefix.len) == 0) {
                return prefix.kind;
            }
        }
    }
    return KQ_KIND_SERIAL;
}

int SerialTypeOf(const char* def, const SerialDefScan& scan) {
    if (def == nullptr || def[0] == '\0') {
        return 0;
    }
    if (scan.bounded) {
        return WrapAdd(SerialKindOf(def), ToInt(scan.number.text));
    }
    return ToInt(scan.lead.text);
}

int SerialTypeOf(const char* def) {
    return SerialTypeOf(def, ScanSerialDef(def));
}

void ApplySerialDef(const SerialDefScan& scan, SerialFields* fields) {
    if (scan.bounded) {
        std::memcpy(fields->device, scan.device.text, sizeof fields->device);
    }
    if (scan.number.present) {
        fields->number = ToInt(scan.number.text);
    }
    if (scan.baud.present) {
        ReadDecimal(scan.baud.text, &fields->baud);
    }
    if (scan.parity.present) {
        fields->parity = ParityCodeOf(scan.parity.text);
    }
    if (scan.dataBits.present) {
        ReadDecimal(scan.dataBits.text, &fields->dataBits);
    }
    if (scan.stopBits.present) {
        StopBitsCodeOf(scan.stopBits.text, &fields->stopBits);
    }
}

int ParityCodeOf(const char* text) {
    switch (text != nullptr ? text[0] : '\0') {
        case 'O':
        case 'o': return 1;
        case 'E':
        case 'e': return 2;
        case 'M':
        case 'm': return 3;
        case 'S':
        case 's': return 4;
        default: return 0;
    }
}

bool StopBitsCodeOf(const char* text, int* code) {
    if (text == nullptr) {
        return false;
    }
    if (std::strcmp(text, "1") == 0) {
        *code = 0;
    } else if (std::strcmp(text, "1.5") == 0) {
        *code = 1;
    } else if (std::strcmp(text, "2") == 0) {
        *code = 2;
    } else {
        return false;
    }
    return true;
}

char NoteParityLetter(int parity) {
    switch (parity) {
        case 1: return 'O';
        case 2: return 'e';
        case 3: return 'm';
        case 4: return 's';
        default: return 'n';
    }
}

const char* StopBitsText(int stopBits) {
    return stopBits == 1 ? "1.5" : stopBits == 2 ? "2" : "1";
}

char LineParityLetter(int parity) {
    return parity == 1 ? 'O' : parity == 2 ? 'E' : 'N';
}

}  // namespace kq
