// SPDX-License-Identifier: MIT
// The configuration file, kqser.conf: the table of its keys and what a text
// of it says. Pure (no file is opened here); part of the core, so kqser and
// the tests read a file exactly as the library does. Internal.
//
// A key is one row of the table in Config.cpp: its name, the section kind it
// belongs to, its default, one line of help, and the parser that stores a
// value into Options. The library reads the options where it applies them.
#ifndef KQSER_CONFIG_P_H
#define KQSER_CONFIG_P_H

#include <map>
#include <string>
#include <vector>

namespace kq {

// How a serial Read ends once its first byte is in (frame_gap).
struct FrameGap {
    enum Mode { kOff, kAuto, kFixed };
    Mode mode = kOff;
    double ms = 0;  // kFixed: the gap in milliseconds
};

// A rule that ends a serial Read with the frame it recognises (frame).
enum class FrameRule {
    kOff,        // only the gap or the read timing ends a Read
    kModbusRtu,  // a slave's reply, once its length and CRC are in
};

// What the first-byte wait of a serial Read is (reply_timeout).
enum class ReplyTimeout {
    kLoop,  // 0.2 s plus 0.2 s per whole second of the time-out, as always
    kHost,  // the host's time-out in milliseconds
};

// A USB serial adapter by what it is rather than by the name it got
// (device = usb:VVVV:PPPP[:SERIAL][:IFACE]).
struct UsbIdentity {
    unsigned vendor = 0;
    unsigned product = 0;
    std::string serial;  // "": any
    int interface = -1;  // -1: any
};

// What Open opens (device).
struct DeviceOption {
    enum Kind { kName, kPath, kUsb };
    Kind kind = kName;  // kName: /dev/NAME, from the definition string
    std::string path;   // kPath
    UsbIdentity usb;    // kUsb
    std::string text;   // as written, for log lines
};

// Direction control of an RS-485 transceiver (rs485, rs485_*).
struct Rs485Options {
    enum Mode { kOff, kKernel, kRts };
    Mode mode = kOff;  // kKernel: the driver switches; kRts: Write raises RTS itself
    bool rtsHighOnSend = true;
    int delayBeforeMs = 0;
    int delayAfterMs = 0;
};

// The bound of a serial Write (write_timeout).
struct WriteTimeout {
    enum Mode { kOff, kAuto, kFixed };
    Mode mode = kOff;
    int ms = 0;  // kFixed
};

// Where a port's traffic is recorded (capture, capture_max_kib).
struct CaptureOptions {
    std::string file;  // an absolute path; empty: no capture
    int maxKib = 1024;
};

struct SerialOptions {
    FrameGap frameGap;
    FrameRule frame = FrameRule::kOff;
    ReplyTimeout replyTimeout = ReplyTimeout::kLoop;
    DeviceOption device;
    bool exclusive = false;
    bool lowLatency = false;
    Rs485Options rs485;
    bool customBaud = false;
    WriteTimeout writeTimeout;
    CaptureOptions capture;
};

struct NetOptions {
    int sendTimeoutMs = 2000;  // 0: a send may block without limit
    CaptureOptions capture;
};

// Where the silent build's own trace_log sends a line (to).
enum class LogTo { kNone, kStderr, kSyslog, kFile };

struct LogOptions {
    LogTo to = LogTo::kNone;
    std::string file;  // kFile: an absolute path
    bool timestamps = true;
    int maxKib = 1024;
    // console_lines = log: the lines printed on standard output by
    // themselves go the way of every other log line.
    bool consoleLinesLogged = false;
};

struct Options {
    SerialOptions serial;
    NetOptions net;
    LogOptions log;
};

enum class SectionKind { kSerial, kNet, kLog };

struct ConfigKey {
    const char* name;
    SectionKind section;
    const char* defaultText;
    const char* help;  // one line: what it does, and why one would set it
    // Stores the value; false with the reason in *why when it cannot be used.
    bool (*parse)(const std::string& text, Options* into, std::string* why);
};

// Every key, in the order the example file lists them. A key that belongs in
// two section kinds (capture) has a row for each. cmake/KqserConfPage.cmake
// writes kqser.conf(5) from the rows' text: each row on lines of its own,
// {"name", SectionKind::kKind, "default", help, parser}, the help as string
// literals or a const char array of Config.cpp.
const std::vector<ConfigKey>& ConfigKeys();

// Where a value of a resolved key came from.
enum class ConfigSource { kDefault, kSerial, kSerialNamed, kNet, kLog };

struct ConfigEntry {
    const ConfigKey* key;
    std::string value;
    ConfigSource source;
};

// A configuration file as read. Empty (every key at its default) until
// Parse fills it.
class Config {
public:
    // Every key at its default.
    Config();

    // Reads the text of the file at path. Every problem (an unknown section
    // or key, a bad value, a text that is no ini file) gives one line in
    // *problems that names the file, the section, the key and the value;
    // that key keeps its default. At most kMaxProblemLines lines, the last
    // of which then counts the rest.
    static Config Parse(const std::string& path, const std::string& text,
                        std::vector<std::string>* problems);

    static constexpr size_t kMaxProblemLines = 16;

    // The options of the serial port on /dev/NAME ("ttyUSB0", "pts/3"):
    // the defaults, then [serial], then [serial NAME]. Worked out once, when
    // the text is read.
    const SerialOptions& Serial(const std::string& name) const;
    const NetOptions& Net() const { return net_; }
    const LogOptions& Log() const { return log_; }

    // Every key of a section kind with its value and where it came from
    // (for serial keys, as the port on /dev/NAME sees them).
    std::vector<ConfigEntry> Describe(SectionKind kind, const std::string& serialName = "") const;

    bool empty() const { return sections_.empty(); }
    // Whether a section applies to the serial port on /dev/NAME ([serial] or
    // [serial NAME]), to network ports ([net]). A port no section applies to
    // keeps no options and behaves as without the file.
    bool AppliesToSerial(const std::string& name) const;
    bool AppliesToNet() const;
    // The NAMEs of the [serial NAME] sections in force, in lower case.
    std::vector<std::string> SerialNames() const;

private:
    // Valid values only, by section ("serial", "serial NAME" in lower case,
    // "net", "log") and key name.
    std::map<std::string, std::map<std::string, std::string>> sections_;
    // The options the sections resolve to: [serial] over the defaults, each
    // [serial NAME] over that, [net], [log].
    void Resolve();
    SerialOptions serial_;
    std::map<std::string, SerialOptions> named_;
    NetOptions net_;
    LogOptions log_;
};

// The text of a source, as `kqser config` prints it: "default", "[serial]",
// "[serial ttyUSB0]", "[net]", "[log]".
std::string SourceText(ConfigSource source, const std::string& serialName);

// The path of the configuration file: $KQSER_CONF when set (set and empty:
// no file at all, an empty result), else /etc/kqser.conf.
std::string ConfigPath(const char* env);

}  // namespace kq

#endif
