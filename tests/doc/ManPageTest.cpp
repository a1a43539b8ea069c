// SPDX-License-Identifier: MIT
// The generated manual pages: kqser.conf(5) lists every row of the key table
// the library compiles, under its section, with its default and its help;
// both pages have the sections a packaged page needs and render cleanly.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Config_p.h"

namespace {

std::string ReadText(const char* path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// What the generator writes for a text: backslashes and hyphens escaped.
std::string Roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

// The part of a page from the subsection titled `title` to the next one.
std::string Subsection(const std::string& page, const std::string& title) {
    const size_t at = page.find(".SS \"" + title + "\"\n");
    if (at == std::string::npos) return "";
    const size_t next = page.find("\n.S", at + 1);
    return page.substr(at, next == std::string::npos ? std::string::npos : next + 1 - at);
}

std::string Title(kq::SectionKind kind) {
    switch (kind) {
        case kq::SectionKind::kSerial: return "[serial] AND [serial NAME]";
        case kq::SectionKind::kNet: return "[net]";
        case kq::SectionKind::kLog: return "[log]";
    }
    return "";
}

TEST(ManPages, ConfPageListsEveryKeyOfTheTable) {
    const std::string page = ReadText(KQTEST_CONF_MAN);
    ASSERT_FALSE(page.empty()) << KQTEST_CONF_MAN;
    size_t rows = 0;
    for (const kq::ConfigKey& key : kq::ConfigKeys()) {
        const std::string part = Subsection(page, Title(key.section));
        ASSERT_FALSE(part.empty()) << Title(key.section);
        const std::string tag =
            ".TP\n.BR " + Roff(key.name) + " \" (" +
            (key.defaultText[0] == '\0' ? std::string("no default")
                                        : "default \\fB" + Roff(key.defaultText) + "\\fR") +
            ")\"\n" + Roff(key.help) + ".\n";
        EXPECT_NE(part.find(tag), std::string::npos) << key.name << " in " << Title(key.section);
        ++rows;
    }
    size_t tagged = 0;
    const size_t keys = page.find(".SH KEYS\n");
    const size_t end = page.find("\n.SH ", keys + 1);
    for (size_t at = page.find(".TP\n.BR ", keys); at < end; at = page.find(".TP\n.BR ", at + 1)) {
        ++tagged;
    }
    EXPECT_EQ(tagged, rows) << "a key on the page that the table does not have";
}

TEST(ManPages, PackagedSectionsArePresent) {
    const struct {
        const char* path;
        const char* heading;
        const char* entry;
    } rows[] = {
        {KQTEST_CONF_MAN, ".TH KQSER.CONF 5 ", ""},
        {KQTEST_CONF_MAN, ".SH FILES\n", ".I /etc/kqser.conf\n"},
        {KQTEST_CONF_MAN, ".SH ENVIRONMENT\n", ".B KQSER_CONF\n"},
        {KQTEST_CONF_MAN, ".SH \"SEE ALSO\"\n", ".BR kqser (1)\n"},
        {KQTEST_KQSER_MAN, ".TH KQSER 1 ", ""},
        {KQTEST_KQSER_MAN, ".SH FILES\n", "/kqSer.so\n"},
        {KQTEST_KQSER_MAN, ".SH ENVIRONMENT\n", ".B KQSER_CONF\n"},
        {KQTEST_KQSER_MAN, ".SH \"SEE ALSO\"\n", ".BR kqser.conf (5)\n"},
    };
    for (const auto& row : rows) {
        const std::string page = ReadText(row.path);
        const size_t at = page.find(row.heading);
        ASSERT_NE(at, std::string::npos) << row.path << ": " << row.heading;
        const size_t next = page.find("\n.SH ", at + 1);
        EXPECT_LT(page.find(row.entry, at), next) << row.path << ": " << row.entry;
    }
}

// groff with every warning on: a stray request or escape in a generated line
// shows here rather than as garbage in man's output.
TEST(ManPages, RenderWithoutWarnings) {
    if (std::system("command -v groff >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no groff here (Debian's groff-base)";
    }
    for (const char* path : {KQTEST_CONF_MAN, KQTEST_KQSER_MAN}) {
        const std::string command = std::string("groff -man -Tutf8 -ww -z '") + path + "' 2>&1";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string warnings;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, out) != nullptr) {
            warnings += buffer;
        }
        const int status = pclose(out);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path;
        EXPECT_EQ(warnings, "") << path;
    }
}

}  // namespace
