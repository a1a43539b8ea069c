// SPDX-License-Identifier: MIT
#include "Config_p.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

// The parser is header only (narrow characters), compiled in here.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace kq {

namespace {

using Ini = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;

bool Is(const std::string& text, const char* word) {
    return strcasecmp(text.c_str(), word) == 0;
}

bool Digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A number: decimal digits, then at most one '.' and the digits of a
// fraction ("2.5"). No sign, blank, exponent or hex form, and the same in
// every locale: a host that set a locale whose decimal mark is a comma still
// has 2.5 read as 2.5.
bool ReadNumber(const std::string& text, double* value) {
    const size_t dot = text.find('.');
    if (!Digits(text.substr(0, dot)) ||
        (dot != std::string::npos && !Digits(text.substr(dot + 1)))) {
        return false;
    }
    double v = 0;
    const char* end = text.data() + text.size();
    const std::from_chars_result r = std::from_chars(text.data(), end, v, std::chars_format::fixed);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

// One of a few words, each naming a value; the problem line lists them.
template <typename T>
struct Word {
    const char* text;
    T value;
};

template <typename T, size_t N>
bool ReadWord(const std::string& text, const Word<T> (&words)[N], T* into, std::string* why) {
    for (const Word<T>& word : words) {
        if (Is(text, word.text)) {
            *into = word.value;
            return true;
        }
    }
    *why = "not ";
    for (size_t i = 0; i < N; ++i) {
        *why += words[i].text;
        *why += i + 2 < N ? ", " : i + 2 == N ? " or " : "";
    }
    return false;
}

bool ParseSwitch(const std::string& text, bool* into, std::string* why) {
    static const Word<bool> kWords[] = {{"on", true}, {"off", false}};
    return ReadWord(text, kWords, into, why);
}

bool ParseReplyTimeout(const std::string& text, ReplyTimeout* into, std::string* why) {
    static const Word<ReplyTimeout> kWords[] = {{"loop", ReplyTimeout::kLoop},
                                                {"host", ReplyTimeout::kHost}};
    return ReadWord(text, kWords, into, why);
}

bool ParseFrameRule(const std::string& text, FrameRule* into, std::string* why) {
    static const Word<FrameRule> kWords[] = {{"off", FrameRule::kOff},
                                             {"modbus_rtu", FrameRule::kModbusRtu}};
    return ReadWord(text, kWords, into, why);
}

bool ParseRs485(const std::string& text, Rs485Options::Mode* into, std::string* why) {
    static const Word<Rs485Options::Mode> kWords[] = {
        {"off", Rs485Options::kOff}, {"on", Rs485Options::kKernel}, {"rts", Rs485Options::kRts}};
    return ReadWord(text, kWords, into, why);
}

// The RTS level while sending: high is true.
bool ParseRtsLevel(const std::string& text, bool* into, std::string* why) {
    static const Word<bool> kWords[] = {{"high", true}, {"low", false}};
    return ReadWord(text, kWords, into, why);
}

// Where the lines printed by themselves go: log is true.
bool ParseConsoleLines(const std::string& text, bool* into, std::string* why) {
    static const Word<bool> kWords[] = {{"stdout", false}, {"log", true}};
    return ReadWord(text, kWords, into, why);
}

bool ParseFrameGap(const std::string& text, Options* into, std::string* why) {
    FrameGap gap;
    double ms = 0;
    if (Is(text, "off")) {
        gap.mode = FrameGap::kOff;
    } else if (Is(text, "auto")) {
        gap.mode = FrameGap::kAuto;
    } else if (ReadNumber(text, &ms) && ms >= 0.5 && ms <= 200) {
        gap.mode = FrameGap::kFixed;
        gap.ms = ms;
    } else {
        *why = "not off, auto or 0.5 to 200 (milliseconds)";
        return false;
    }
    into->serial.frameGap = gap;
    return true;
}

// A whole number from min to max, and nothing else.
bool ReadWhole(const std::string& text, double min, double max, int* value) {
    double v = 0;
    if (!ReadNumber(text, &v) || v < min || v > max || v != std::floor(v)) {
        return false;
    }
    *value = static_cast<int>(v);
    return true;
}

bool ReadHex(const std::string& text, size_t digits, unsigned* value) {
    if (text.size() != digits ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    *value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

// usb:VVVV:PPPP[:SERIAL][:IFACE]; an empty SERIAL ("usb:0403:6010::1")
// leaves the serial number open.
bool ParseUsb(const std::string& text, UsbIdentity* usb) {
    std::vector<std::string> fields;
    size_t start = 4;  // after "usb:"
    for (;;) {
        const size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (fields.size() < 2 || fields.size() > 4 || !ReadHex(fields[0], 4, &usb->vendor) ||
        !ReadHex(fields[1], 4, &usb->product)) {
        return false;
    }
    if (fields.size() >= 3) {
        usb->serial = fields[2];
    }
    return fields.size() < 4 || ReadWhole(fields[3], 0, 255, &usb->interface);
}

bool ParseDevice(const std::string& text, Options* into, std::string* why) {
    DeviceOption device;
    device.text = text;
    if (text.empty()) {
        device.kind = DeviceOption::kName;
    } else if (text[0] == '/' && text.size() < 4096) {
        device.kind = DeviceOption::kPath;
        device.path = text;
    } else if (strncasecmp(text.c_str(), "usb:", 4) == 0 && ParseUsb(text, &device.usb)) {
        device.kind = DeviceOption::kUsb;
    } else {
        *why = "not an absolute path or usb:VVVV:PPPP[:SERIAL][:IFACE] (hex ids)";
        return false;
    }
    into->serial.device = device;
    return true;
}

// A whole number of unit from min to max.
bool ReadAmount(const std::string& text, int min, int max, const char* unit, int* into,
                std::string* why) {
    if (!ReadWhole(text, min, max, into)) {
        *why = "not a whole number of " + std::string(unit) + " from " + std::to_string(min) +
               " to " + std::to_string(max);
        return false;
    }
    return true;
}

// The kernel keeps RS-485 delays up to 100 ms.
bool ParseRs485Delay(const std::string& text, int* into, std::string* why) {
    return ReadAmount(text, 0, 100, "milliseconds", into, why);
}

bool ParseWriteTimeout(const std::string& text, Options* into, std::string* why) {
    WriteTimeout bound;
    if (Is(text, "off")) {
        bound.mode = WriteTimeout::kOff;
    } else if (Is(text, "auto")) {
        bound.mode = WriteTimeout::kAuto;
    } else if (ReadWhole(text, 1, 3600000, &bound.ms)) {
        bound.mode = WriteTimeout::kFixed;
    } else {
        *why = "not off, auto or 1 to 3600000 (milliseconds)";
        return false;
    }
    into->serial.writeTimeout = bound;
    return true;
}

// A day at the most.
bool ParseSendTimeout(const std::string& text, int* into, std::string* why) {
    return ReadAmount(text, 0, 86400000, "milliseconds", into, why);
}

// An absolute path of a file to write: not a folder's ("/var/log/").
bool ReadFilePath(const std::string& text) {
    return text.size() > 1 && text[0] == '/' && text.back() != '/';
}

bool ReadKib(const std::string& text, int* kib, std::string* why) {
    return ReadAmount(text, 1, 1048576, "KiB", kib, why);
}

bool ReadCapture(const std::string& text, CaptureOptions* into, std::string* why) {
    if (Is(text, "none")) {
        into->file.clear();
    } else if (ReadFilePath(text)) {
        into->file = text;
    } else {
        *why = "not none or an absolute path of a file";
        return false;
    }
    return true;
}

bool ParseLogTo(const std::string& text, Options* into, std::string* why) {
    into->log.file.clear();
    if (Is(text, "none")) {
        into->log.to = LogTo::kNone;
    } else if (Is(text, "stderr")) {
        into->log.to = LogTo::kStderr;
    } else if (Is(text, "syslog")) {
        into->log.to = LogTo::kSyslog;
    } else if (ReadFilePath(text)) {
        into->log.to = LogTo::kFile;
        into->log.file = text;
    } else {
        *why = "not none, stderr, syslog or an absolute path of a file";
        return false;
    }
    return true;
}

// The field reached from an object through a path of members.
template <typename T>
T& At(T& object) {
    return object;
}

template <typename T, typename Member, typename... Members>
auto& At(T& object, Member member, Members... members) {
    return At(object.*member, members...);
}

// A key whose value is one field of the options, reached through the member
// path (&Options::serial, &SerialOptions::exclusive) and read by Read.
template <auto Read, auto... Path>
bool Into(const std::string& text, Options* into, std::string* why) {
    return Read(text, &At(*into, Path...), why);
}

const char* SectionName(SectionKind kind) {
    switch (kind) {
        case SectionKind::kSerial: return "serial";
        case SectionKind::kNet: return "net";
        case SectionKind::kLog: return "log";
    }
    return "";
}

// The row of a key in a section kind; when the key belongs elsewhere, its
// first row (the caller says where it belongs); null for an unknown key.
const ConfigKey* FindKey(const std::string& name, SectionKind kind) {
    const ConfigKey* found = nullptr;
    for (const ConfigKey& key : ConfigKeys()) {
        if (Is(name, key.name)) {
            if (key.section == kind) {
                return &key;
            }
            found = found != nullptr ? found : &key;
        }
    }
    return found;
}

// "serial", "serial NAME", "net" or "log" (any case, blanks around NAME
// ignored): the section kind and, for [serial NAME], the name.
bool ReadSection(const std::string& section, SectionKind* kind, std::string* name) {
    name->clear();
    for (SectionKind k : {SectionKind::kSerial, SectionKind::kNet, SectionKind::kLog}) {
        if (Is(section, SectionName(k))) {
            *kind = k;
            return true;
        }
    }
    const size_t n = std::strlen("serial");
    if (section.size() > n && strncasecmp(section.c_str(), "serial", n) == 0 &&
        (section[n] == ' ' || section[n] == '\t')) {
        const size_t first = section.find_first_not_of(" \t", n);
        const size_t last = section.find_last_not_of(" \t");
        if (first != std::string::npos) {
            *name = section.substr(first, last - first + 1);
            *kind = SectionKind::kSerial;
            return true;
        }
    }
    return false;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string SectionKey(SectionKind kind, const std::string& name) {
    return name.empty() ? SectionName(kind) : "serial " + Lower(name);
}

// Bounded, so that a value of garbage cannot make a log line of a megabyte.
std::string Shown(const std::string& text) {
    std::string shown;
    for (char c : text.substr(0, 60)) {
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text.size() > 60 ? shown + "..." : shown;
}

class Problems {
public:
    Problems(const std::string& path, std::vector<std::string>* out) : path_(path), out_(out) {}
    ~Problems() {
        if (out_ != nullptr && dropped_ > 0) {
            out_->push_back("config " + path_ + ": " + std::to_string(dropped_) +
                            " more problems not shown");
        }
    }
    Problems(const Problems&) = delete;
    Problems& operator=(const Problems&) = delete;

    void Add(const std::string& text) {
        if (out_ == nullptr) {
            return;
        }
        if (out_->size() + 1 < Config::kMaxProblemLines) {
            out_->push_back("config " + path_ + ": " + text);
        } else {
            ++dropped_;
        }
    }

private:
    std::string path_;
    std::vector<std::string>* out_;
    size_t dropped_ = 0;
};

// The parser passes over a line that is neither a section, a comment nor a
// key with '=' ("frame_gap: auto"); a field engineer must hear of it.
void ReportLinesWithoutValue(const std::string& text, Problems* report) {
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == ';' || line[first] == '#' ||
            line[first] == '[' || line.find('=') != std::string::npos) {
            continue;
        }
        report->Add("line " + std::to_string(number) + " \"" + Shown(line.substr(first)) +
                    "\": not a key = value line; not used");
    }
}

}  // namespace

// The capture keys mean the same in [serial] and [net].
const char kCaptureHelp[] =
    "record every Read and Write of the port in this file (an absolute path), one line each: "
    "time, direction, type code, count, bytes as hex, note";
const char kCaptureKibHelp[] =
    "when the capture file would pass this size it becomes FILE.1 and a new one begins";

const std::vector<ConfigKey>& ConfigKeys() {
    static const std::vector<ConfigKey> kKeys = {
        {"frame_gap", SectionKind::kSerial, "off",
         "a Read ends after this silence once its first byte is in: off (the 0.2 s read "
         "timing), auto (3.5 characters at the line's speed, at least the adapter's "
         "latency) or 0.5 to 200 ms (digits, '.' before a fraction, in every locale)",
         ParseFrameGap},
        {"reply_timeout", SectionKind::kSerial, "loop",
         "the wait for a reply's first byte: loop (0.2 s, and 0.2 s more per whole second "
         "of the time-out) or host (the host's time-out in ms)",
         Into<ParseReplyTimeout, &Options::serial, &SerialOptions::replyTimeout>},
        {"capture", SectionKind::kSerial, "none", kCaptureHelp,
         Into<ReadCapture, &Options::serial, &SerialOptions::capture>},
        {"capture_max_kib", SectionKind::kSerial, "1024", kCaptureKibHelp,
         Into<ReadKib, &Options::serial, &SerialOptions::capture, &CaptureOptions::maxKib>},
        {"device", SectionKind::kSerial, "",
         "what Open opens instead of /dev/NAME: a path (a /dev/serial/by-id link) or "
         "usb:VVVV:PPPP[:SERIAL][:IFACE], looked up at every Open, so a replugged adapter is "
         "found again",
         ParseDevice},
        {"exclusive", SectionKind::kSerial, "off",
         "on: Open fails while another process holds the line, and holds it against others "
         "until Close",
         Into<ParseSwitch, &Options::serial, &SerialOptions::exclusive>},
        {"low_latency", SectionKind::kSerial, "off",
         "on: the driver hands bytes over at once (an FTDI adapter's latency timer goes from "
         "16 ms to 1 ms)",
         Into<ParseSwitch, &Options::serial, &SerialOptions::lowLatency>},
        {"rs485", SectionKind::kSerial, "off",
         "RS-485 direction control: on (the driver switches the transceiver; Open fails if it "
         "cannot) or rts (Write raises RTS itself, second best)",
         Into<ParseRs485, &Options::serial, &SerialOptions::rs485, &Rs485Options::mode>},
        {"rs485_rts_on_send", SectionKind::kSerial, "high",
         "the RTS level that enables the transceiver's driver: high or low",
         Into<ParseRtsLevel, &Options::serial, &SerialOptions::rs485,
              &Rs485Options::rtsHighOnSend>},
        {"rs485_delay_before_ms", SectionKind::kSerial, "0",
         "ms between enabling the driver and the first bit (0 to 100)",
         Into<ParseRs485Delay, &Options::serial, &SerialOptions::rs485,
              &Rs485Options::delayBeforeMs>},
        {"rs485_delay_after_ms", SectionKind::kSerial, "0",
         "ms between the last bit and releasing the bus (0 to 100)",
         Into<ParseRs485Delay, &Options::serial, &SerialOptions::rs485,
              &Rs485Options::delayAfterMs>},
        {"custom_baud", SectionKind::kSerial, "off",
         "on: a speed outside the standard table (250000, 31250, 1000000) is set exactly "
         "instead of 115200; Open fails if the driver refuses it",
         Into<ParseSwitch, &Options::serial, &SerialOptions::customBaud>},
        {"write_timeout", SectionKind::kSerial, "off",
         "the longest a Write blocks on a line that takes no bytes: off (no limit), auto (the "
         "bytes' wire time + 1 s) or 1 to 3600000 ms",
         ParseWriteTimeout},
        {"frame", SectionKind::kSerial, "off",
         "modbus_rtu: a Read ends as soon as its bytes make one whole Modbus RTU reply with a "
         "correct CRC; a reply it cannot size ends at frame_gap (then auto unless set)",
         Into<ParseFrameRule, &Options::serial, &SerialOptions::frame>},
        {"send_timeout_ms", SectionKind::kNet, "2000",
         "the longest a network send may block, in ms; 0: no limit",
         Into<ParseSendTimeout, &Options::net, &NetOptions::sendTimeoutMs>},
        {"capture", SectionKind::kNet, "none", kCaptureHelp,
         Into<ReadCapture, &Options::net, &NetOptions::capture>},
        {"capture_max_kib", SectionKind::kNet, "1024", kCaptureKibHelp,
         Into<ReadKib, &Options::net, &NetOptions::capture, &CaptureOptions::maxKib>},
        {"to", SectionKind::kLog, "none",
         "where the silent build sends its log lines when the host defines no trace_log: "
         "none, stderr, syslog or a file (an absolute path); the console build ignores it",
         ParseLogTo},
        {"timestamps", SectionKind::kLog, "on",
         "each routed line begins with the local date and time to the microsecond: on or off",
         Into<ParseSwitch, &Options::log, &LogOptions::timestamps>},
        {"max_kib", SectionKind::kLog, "1024",
         "when the log file would pass this size it becomes FILE.1 and a new one begins",
         Into<ReadKib, &Options::log, &LogOptions::maxKib>},
        {"console_lines", SectionKind::kLog, "stdout",
         "the few lines both builds print on standard output by themselves: stdout, or log "
         "(the way every other log line goes; for a host whose standard output carries data)",
         Into<ParseConsoleLines, &Options::log, &LogOptions::consoleLinesLogged>},
    };
    return kKeys;
}

Config Config::Parse(const std::string& path, const std::string& file,
                     std::vector<std::string>* problems) {
    Config config;
    Problems report(path, problems);
    // Editors on other systems start a UTF-8 text with a byte-order mark.
    static const char kBom[] = "\xEF\xBB\xBF";
    const std::string text = file.compare(0, 3, kBom) == 0 ? file.substr(3) : file;
    if (text.find('\0') != std::string::npos) {
        report.Add("holds a NUL byte at offset " + std::to_string(text.find('\0')) +
                   ": not an ini text; every key keeps its default");
        return config;
    }
    ReportLinesWithoutValue(text, &report);
    Ini ini(false, false, false);
    if (ini.LoadData(text.data(), text.size()) < 0) {
        report.Add("not an ini text; every key keeps its default");
        return config;
    }
    Ini::TNamesDepend sections;
    ini.GetAllSections(sections);
    sections.sort(Ini::Entry::LoadOrder());
    for (const Ini::Entry& section : sections) {
        const std::string sectionText = section.pItem;
        Ini::TNamesDepend keys;
        ini.GetAllKeys(section.pItem, keys);
        keys.sort(Ini::Entry::LoadOrder());
        SectionKind kind;
        std::string name;
        if (!ReadSection(sectionText, &kind, &name)) {
            report.Add("[" + Shown(sectionText) + "] (" + std::to_string(keys.size()) +
                       " keys): unknown section; its keys are not used");
            continue;
        }
        for (const Ini::Entry& key : keys) {
            const std::string keyText = key.pItem;
            const char* raw = ini.GetValue(section.pItem, key.pItem, "");
            const std::string value = raw != nullptr ? raw : "";
            const std::string where =
                "[" + Shown(sectionText) + "] " + Shown(keyText) + " = \"" + Shown(value) + "\": ";
            const ConfigKey* row = FindKey(keyText, kind);
            if (row == nullptr) {
                report.Add(where + "unknown key; not used");
                continue;
            }
            if (row->section != kind) {
                report.Add(where + "belongs in [" + SectionName(row->section) + "]; not used");
                continue;
            }
            Options scratch;
            std::string why;
            if (!row->parse(value, &scratch, &why)) {
                report.Add(where + why + "; the default " + row->defaultText + " stays");
                continue;
            }
            config.sections_[SectionKey(kind, name)][row->name] = value;
        }
    }
    config.Resolve();
    return config;
}

namespace {

// Applies the defaults, then each section in turn; later sections win.
Options Resolve(const std::map<std::string, std::map<std::string, std::string>>& sections,
                const std::vector<std::string>& order, SectionKind kind) {
    Options options;
    std::string why;
    for (const ConfigKey& key : ConfigKeys()) {
        if (key.section == kind) {
            key.parse(key.defaultText, &options, &why);
        }
    }
    for (const std::string& name : order) {
        const auto section = sections.find(name);
        if (section == sections.end()) {
            continue;
        }
        for (const auto& value : section->second) {
            if (const ConfigKey* key = FindKey(value.first, kind)) {
                key->parse(value.second, &options, &why);
            }
        }
    }
    return options;
}

// With a frame rule and no frame_gap of its own a port's gap is auto: a
// reply the rule cannot size then ends at 3.5 characters, not at 0.2 s.
const char kGapKey[] = "frame_gap";
const char kGapWithRule[] = "auto";

SerialOptions ResolveSerial(
    const std::map<std::string, std::map<std::string, std::string>>& sections,
    const std::vector<std::string>& order) {
    SerialOptions options = Resolve(sections, order, SectionKind::kSerial).serial;
    if (options.frame != FrameRule::kOff) {
        bool gapSet = false;
        for (const std::string& section : order) {
            const auto found = sections.find(section);
            gapSet = gapSet || (found != sections.end() && found->second.count(kGapKey) != 0);
        }
        if (!gapSet) {
            options.frameGap.mode = FrameGap::kAuto;
        }
    }
    return options;
}

}  // namespace

Config::Config() {
    Resolve();
}

void Config::Resolve() {
    serial_ = ResolveSerial(sections_, {"serial"});
    named_.clear();
    const std::string prefix = SectionKey(SectionKind::kSerial, "");
    for (const auto& section : sections_) {
        if (section.first.size() > prefix.size() &&
            section.first.compare(0, prefix.size(), prefix) == 0) {
            named_[section.first] = ResolveSerial(sections_, {"serial", section.first});
        }
    }
    net_ = kq::Resolve(sections_, {"net"}, SectionKind::kNet).net;
    log_ = kq::Resolve(sections_, {"log"}, SectionKind::kLog).log;
}

const SerialOptions& Config::Serial(const std::string& name) const {
    const auto named = named_.find(SectionKey(SectionKind::kSerial, name));
    return named != named_.end() ? named->second : serial_;
}

bool Config::AppliesToSerial(const std::string& name) const {
    return sections_.count("serial") != 0 ||
           (!name.empty() && sections_.count(SectionKey(SectionKind::kSerial, name)) != 0);
}

std::vector<std::string> Config::SerialNames() const {
    std::vector<std::string> names;
    const std::string prefix = "serial ";
    for (const auto& section : sections_) {
        if (section.first.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(section.first.substr(prefix.size()));
        }
    }
    return names;
}

bool Config::AppliesToNet() const {
    return sections_.count("net") != 0;
}

std::vector<ConfigEntry> Config::Describe(SectionKind kind, const std::string& serialName) const {
    struct Layer {
        std::string section;
        ConfigSource source;
    };
    std::vector<Layer> layers;
    switch (kind) {
        case SectionKind::kSerial:
            layers = {{"serial", ConfigSource::kSerial},
                      {SectionKey(kind, serialName), ConfigSource::kSerialNamed}};
            if (serialName.empty()) {
                layers.pop_back();
            }
            break;
        case SectionKind::kNet: layers = {{"net", ConfigSource::kNet}}; break;
        case SectionKind::kLog: layers = {{"log", ConfigSource::kLog}}; break;
    }
    std::vector<ConfigEntry> entries;
    for (const ConfigKey& key : ConfigKeys()) {
        if (key.section != kind) {
            continue;
        }
        ConfigEntry entry{&key, key.defaultText, ConfigSource::kDefault};
        for (const Layer& layer : layers) {
            const auto section = sections_.find(layer.section);
            if (section == sections_.end()) {
                continue;
            }
            const auto value = section->second.find(key.name);
            if (value != section->second.end()) {
                entry.value = value->second;
                entry.source = layer.source;
            }
        }
        entries.push_back(entry);
    }
    if (kind == SectionKind::kSerial) {
        const ConfigEntry* rule = nullptr;
        ConfigEntry* gap = nullptr;
        for (ConfigEntry& entry : entries) {
            rule = std::strcmp(entry.key->name, "frame") == 0 ? &entry : rule;
            gap = std::strcmp(entry.key->name, kGapKey) == 0 ? &entry : gap;
        }
        if (rule != nullptr && gap != nullptr && !Is(rule->value, "off") &&
            gap->source == ConfigSource::kDefault) {
            gap->value = kGapWithRule;
        }
    }
    return entries;
}

std::string SourceText(ConfigSource source, const std::string& serialName) {
    switch (source) {
        case ConfigSource::kDefault: return "default";
        case ConfigSource::kSerial: return "[serial]";
        case ConfigSource::kSerialNamed: return "[serial " + serialName + "]";
        case ConfigSource::kNet: return "[net]";
        case ConfigSource::kLog: return "[log]";
    }
    return "";
}

std::string ConfigPath(const char* env) {
    if (env != nullptr) {
        return env;
    }
    return "/etc/kqser.conf";
}

}  // namespace kq
