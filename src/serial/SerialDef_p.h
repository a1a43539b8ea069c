// SPDX-License-Identifier: MIT
// The serial definition string (ttyUSB0:115200,N,8,1): one scanner, the
// device-prefix table and the field codes. Pure; part of the core that the
// library, kqser, the tests and the fuzzers share. Internal.
#ifndef KQSER_SERIALDEF_P_H
#define KQSER_SERIALDEF_P_H

#include <cstddef>

namespace kq {

// The device name and every segment are held in 16-byte buffers: 15
// characters and a terminator. Longer text is cut (its length is kept).
constexpr size_t kSerialFieldSize = 16;

// One segment of the text, as the library holds it.
struct SerialDefText {
    bool present = false;  // the string has this segment
    char text[kSerialFieldSize] = {};
    size_t length = 0;  // before the cut
};

struct SerialDefScan {
    // The first separator is a ':' right after a digit: the port digit, with
    // the device name before it.
    bool bounded = false;
    SerialDefText device;
    // The text before the first separator when no port digit ends it.
    SerialDefText lead;
    SerialDefText number;
    SerialDefText baud;
    SerialDefText parity;
    SerialDefText dataBits;
    SerialDefText stopBits;
};

// Scans a definition string once. Separators are ':' and ','; the segment
// after the port digit is field 1, the next ones follow. Without a port
// digit the text before the first separator is the lead and the segments
// after it are fields from 1 on. The last character always closes the last
// segment, so a separator there belongs to it. Segments beyond the stop
// bits are not kept. A null or empty string gives an empty scan.
SerialDefScan ScanSerialDef(const char* def);

// Port kind named by the device-name prefix at the start of the text
// (compared without regard to case); 0x100000 when none matches.
int SerialKindOf(const char* def);

// The type code a port built from the string reports: kind plus port number
// when the string has a port digit; else 0 plus the lead read as a number.
int SerialTypeOf(const char* def);
int SerialTypeOf(const char* def, const SerialDefScan& scan);

// What a definition string sets on a serial port.
struct SerialFields {
    char device[kSerialFieldSize] = "COM";
    int number = 1;
    int baud = 9600;
    int parity = 0;  // code: 0 none, 1 odd, 2 even, 3 mark, 4 space
    int dataBits = 8;
    int stopBits = 1;  // code: 0 one, 1 one and a half, 2 two
};

// Applies a scan to a port's fields: each segment the string has replaces
// its field (an unreadable baud or data-bit count keeps the old value).
void ApplySerialDef(const SerialDefScan& scan, SerialFields* fields);

// Field codes: parity from the first character of its field (N 0, O 1, E 2,
// M 3, S 4; anything else 0); stop bits from the exact text ("1" 0, "1.5" 1,
// "2" 2; false for any other text, which keeps the code it had).
int ParityCodeOf(const char* text);
bool StopBitsCodeOf(const char* text, int* code);

// How the note shows the parity code (only odd is upper case) and the
// stop-bit code.
char NoteParityLetter(int parity);
const char* StopBitsText(int stopBits);
// The parity letter the line is set up with: mark and space give none.
char LineParityLetter(int parity);

}  // namespace kq

#endif
