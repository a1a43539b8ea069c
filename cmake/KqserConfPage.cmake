# SPDX-License-Identifier: MIT
# Writes the manual page kqser.conf(5) from the library's configuration key
# table, the rows of ConfigKeys() in the file that defines it:
#   cmake -DTABLE=.../Config.cpp -DMAN=kqser.conf.5 -DVERSION=... -DDOCDIR=... -P KqserConfPage.cmake
# Plain CMake, so that a cross build, which cannot run what it built, makes
# the page too. A row reads {"name", SectionKind::kKind, "default", help,
# parser}, the help being string literals or the name of a const char array
# of the same file; anything else stops the script with the row's text.
cmake_minimum_required(VERSION 3.18)
file(READ "${TABLE}" src)
include(${CMAKE_CURRENT_LIST_DIR}/KqserRoff.cmake)

# The text from the first marker on; the script stops, saying what is
# missing, when there is none.
function(from_marker text marker missing out)
  string(FIND "${text}" "${marker}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${TABLE}: ${missing}")
  endif()
  string(SUBSTRING "${text}" ${at} -1 rest)
  set(${out} "${rest}" PARENT_SCOPE)
endfunction()

# The adjacent string literals at the start of text, joined; *rest after them.
function(literals text out rest)
  set(joined "")
  set(found OFF)
  while(text MATCHES "^[ \t\r\n]*\"")
    string(REGEX REPLACE "^[ \t\r\n]*\"" "" text "${text}")
    string(FIND "${text}" "\"" close)
    string(SUBSTRING "${text}" 0 ${close} piece)
    if(piece MATCHES "\\\\$")
      message(FATAL_ERROR "${TABLE}: an escaped quote in a help text: ${piece}")
    endif()
    string(APPEND joined "${piece}")
    math(EXPR close "${close} + 1")
    string(SUBSTRING "${text}" ${close} -1 text)
    set(found ON)
  endwhile()
  set(${out} "${joined}" PARENT_SCOPE)
  set(${rest} "${text}" PARENT_SCOPE)
  set(literals_found ${found} PARENT_SCOPE)
endfunction()

from_marker("${src}" "ConfigKeys() {" "no ConfigKeys() table" table)
string(FIND "${table}" "\n    };" end)
string(SUBSTRING "${table}" 0 ${end} table)

set(kinds "")
set(count 0)
set(row_head "{\"([a-z0-9_]+)\", *SectionKind::k([A-Za-z]+), *\"([^\"]*)\",")
string(FIND "${table}" "{\"" at)
string(SUBSTRING "${table}" ${at} -1 rest)
while(at GREATER_EQUAL 0)
  if(NOT rest MATCHES "^${row_head}")
    string(SUBSTRING "${rest}" 0 120 shown)
    message(FATAL_ERROR "${TABLE}: a key row not in the form {\"name\", SectionKind::kKind, \"default\", ...}: ${shown}")
  endif()
  set(name "${CMAKE_MATCH_1}")
  string(TOLOWER "${CMAKE_MATCH_2}" kind)
  set(default "${CMAKE_MATCH_3}")
  string(LENGTH "${CMAKE_MATCH_0}" head)
  string(SUBSTRING "${rest}" ${head} -1 rest)
  literals("${rest}" help rest)
  if(NOT literals_found)
    # The name of a help text kept apart, because two rows share it.
    if(NOT rest MATCHES "^[ \t\r\n]*([A-Za-z_][A-Za-z0-9_]*)")
      message(FATAL_ERROR "${TABLE}: key ${name}: its help is neither text nor a name")
    endif()
    set(constant "${CMAKE_MATCH_1}")
    from_marker("${src}" "char ${constant}[] ="
                "key ${name}: no const char ${constant}[] in the file" definition)
    string(FIND "${definition}" "=" equals)
    math(EXPR equals "${equals} + 1")
    string(SUBSTRING "${definition}" ${equals} -1 definition)
    literals("${definition}" help unused)
  endif()
  if(help STREQUAL "")
    message(FATAL_ERROR "${TABLE}: key ${name} has no help text")
  endif()
  if(NOT kind IN_LIST kinds)
    list(APPEND kinds ${kind})
    set(keys_${kind} "")
  endif()
  roff(default "${default}")
  if(default STREQUAL "")
    set(shown_default "no default")
  else()
    set(shown_default "default \\fB${default}\\fR")
  endif()
  roff(help "${help}")
  string(APPEND keys_${kind} ".TP\n.BR ${name} \" (${shown_default})\"\n${help}.\n")
  math(EXPR count "${count} + 1")
  # The next row begins on a line of its own.
  string(FIND "${rest}" "\n        {\"" at)
  if(at GREATER_EQUAL 0)
    math(EXPR at "${at} + 9")
    string(SUBSTRING "${rest}" ${at} -1 rest)
  endif()
endwhile()
if(count EQUAL 0)
  message(FATAL_ERROR "${TABLE}: no key rows")
endif()

# What each section kind is for, in the order the table first names it.
set(title_serial "[serial] AND [serial NAME]")
set(about_serial "Every serial port, and the one whose device is /dev/NAME as the port opens it \
(ttyUSB0, ttyS1, pts/3: the device name and port digit of the host's definition string). \
Keys of [serial NAME] win over those of [serial]; every default is what the library has always done.")
set(title_net "[net]")
set(about_net "Every network port: TCP, UDP and broadcast.")
set(title_log "[log]")
set(about_log "The log lines: where the silent build sends them when the host defines no \
trace_log, and the few lines both builds print by themselves.")
set(keys "")
foreach(kind IN LISTS kinds)
  if(NOT DEFINED title_${kind})
    message(FATAL_ERROR "${TABLE}: section kind ${kind} has no title in ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  roff(about "${about_${kind}}")
  string(APPEND keys ".SS \"${title_${kind}}\"\n${about}\n${keys_${kind}}")
endforeach()

roff(docdir "${DOCDIR}")
file(WRITE "${MAN}"
".\\\" Generated from the configuration key table, ConfigKeys() in Config.cpp; edit that table instead.\n"
".TH KQSER.CONF 5 \"\" \"kqSer ${VERSION}\" \"File Formats\"\n.nh\n.ad l\n"
".SH NAME\nkqser.conf \\- field options of kqSer.so: serial lines, network sends, log lines, traffic capture\n"
".SH SYNOPSIS\n.B /etc/kqser.conf\n.br\n.B $KQSER_CONF\n"
".SH DESCRIPTION\n"
"kqSer.so reads this file each time GetSerManager creates the port manager (the first call, "
"and the first after FreeSerManager), in both builds of the library. Without the file every "
"port behaves, logs and times exactly as it always has, and so does every port the file does "
"not name. The library never writes it.\n"
".PP\n"
"The file is ini text: a section line in brackets, then lines \\fIkey\\fR = \\fIvalue\\fR; "
"lines that start with ; or # are comments. A value is the rest of its line, so a comment goes "
"on a line of its own. Names of sections and keys are compared without regard to case.\n"
".PP\n"
"A missing file is silence. A file that cannot be used (a folder, a FIFO or device, more than "
"1 MiB, unreadable), a line that is no \\fIkey\\fR = \\fIvalue\\fR, an unknown section or key, "
"a key in the wrong section, and a bad value each give one log line that names the file, the "
"section, the key and the value, and that key keeps its default. Nothing in the file can make "
"GetSerManager fail. \\fBkqser config\\fR prints the file as the library reads it: each "
"problem, every key with its value and where it came from; \\fBkqser config\\fR \\fIDEF\\fR "
"does so for one port, with the frame gap its Open will work out.\n"
".SH KEYS\n${keys}"
".SH EXAMPLE\n.nf\n"
"[serial ttyUSB0]\n"
"; the adapter by its ids, wherever it enumerated (kqser ports)\n"
"device = usb:0403:6001:A10K3J2P\n"
"exclusive = on\nlow_latency = on\nframe_gap = auto\n\n"
"[log]\nto = /var/log/kqser.log\n"
".fi\n"
".SH FILES\n"
".TP\n.I /etc/kqser.conf\nThe file, unless KQSER_CONF names another.\n"
".TP\n.I ${docdir}/examples/kqser.conf.example\n"
"Every key commented out at its default, with one line of why: copy it to /etc/kqser.conf and "
"uncomment what a device needs.\n"
".SH ENVIRONMENT\n"
".TP\n.B KQSER_CONF\nThe path of the file to read instead of /etc/kqser.conf; set and empty, "
"no file is read at all.\n"
".SH \"SEE ALSO\"\n.BR kqser (1)\n")
