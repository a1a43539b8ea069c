# SPDX-License-Identifier: MIT
# Writes kqser's man page and bash completion from its command table
# (kqser/CommandTable.inc): cmake -DTABLE=... -DMAN=... -DCOMPLETION=...
# -DVERSION=... -DLIBDIR=... -P KqserDocs.cmake. Plain CMake, so it works in
# cross builds, where the built kqser does not run.
cmake_minimum_required(VERSION 3.18)
file(READ "${TABLE}" src)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/KqserRoff.cmake)

# The text of the next R"KQ( ... )KQ" at or after position from; *next past it.
function(raw_string text from out next)
  string(SUBSTRING "${text}" ${from} -1 rest)
  string(FIND "${rest}" "R\"KQ(" open)
  string(FIND "${rest}" ")KQ\"" close)
  if(open LESS 0 OR close LESS open)
    message(FATAL_ERROR "${TABLE}: a help text without R\"KQ( ... )KQ\"")
  endif()
  math(EXPR begin "${open} + 5")
  math(EXPR length "${close} - ${begin}")
  string(SUBSTRING "${rest}" ${begin} ${length} body)
  math(EXPR after "${from} + ${close} + 4")
  set(${out} "${body}" PARENT_SCOPE)
  set(${next} ${after} PARENT_SCOPE)
endfunction()

# The next "..." at or after position from.
function(quoted_string text from out next)
  string(SUBSTRING "${text}" ${from} -1 rest)
  string(FIND "${rest}" "\"" open)
  math(EXPR begin "${open} + 1")
  string(SUBSTRING "${rest}" ${begin} -1 tail)
  string(FIND "${tail}" "\"" length)
  string(SUBSTRING "${tail}" 0 ${length} body)
  math(EXPR after "${from} + ${begin} + ${length} + 1")
  set(${out} "${body}" PARENT_SCOPE)
  set(${next} ${after} PARENT_SCOPE)
endfunction()

# Option words "--read=N": all names, those that take a value, those that take a file.
# A value in lower case lists the choices ("--map=crlf|lf|cr"): a completion case each.
function(option_words text names values files)
  string(REPLACE " " ";" words "${text}")
  set(all "")
  set(valued "")
  set(filed "")
  foreach(word IN LISTS words)
    string(REGEX REPLACE "=.*" "" name "${word}")
    list(APPEND all ${name})
    if(word MATCHES "=(FILE|PATH)$")
      list(APPEND filed ${name})
    elseif(word MATCHES "=([a-z0-9|]+)$")
      string(REPLACE "|" " " choices "${CMAKE_MATCH_1}")
      set_property(GLOBAL APPEND_STRING PROPERTY kqser_choice_cases
        "        ${name}) COMPREPLY=($(compgen -W \"${choices}\" -- \"$cur\")); return ;;\n")
    elseif(word MATCHES "=")
      list(APPEND valued ${name})
    endif()
  endforeach()
  string(REPLACE ";" " " all "${all}")
  string(REPLACE ";" " " valued "${valued}")
  string(REPLACE ";" " " filed "${filed}")
  set(${names} "${all}" PARENT_SCOPE)
  set(${values} "${valued}" PARENT_SCOPE)
  set(${files} "${filed}" PARENT_SCOPE)
endfunction()

string(REGEX MATCH "\nKQSER_GLOBAL_OPTIONS\\(\"([^\"]*)\"\\)" found "${src}")
if(NOT found)
  message(FATAL_ERROR "${TABLE}: no KQSER_GLOBAL_OPTIONS")
endif()
option_words("${CMAKE_MATCH_1}" global_names value_options file_options)

string(FIND "${src}" "\nKQSER_MAIN_HELP(" at)
raw_string("${src}" ${at} head at)
raw_string("${src}" ${at} tail at)

set(commands "")
set(def_commands "")
set(man_list "")
set(man_commands "")
set(completion_cases "")
string(FIND "${src}" "\nKQSER_COMMAND(" at)
while(at GREATER_EQUAL 0)
  math(EXPR at "${at} + 15")
  string(SUBSTRING "${src}" ${at} -1 rest)
  string(REGEX MATCH "^([a-z]+)," found "${rest}")
  set(name "${CMAKE_MATCH_1}")
  quoted_string("${src}" ${at} options at)
  quoted_string("${src}" ${at} summary at)
  raw_string("${src}" ${at} help at)
  list(APPEND commands ${name})
  if(help MATCHES "^usage: kqser ${name} DEF")
    list(APPEND def_commands ${name})
  endif()
  option_words("${options}" names values files)
  string(APPEND value_options " ${values}")
  string(APPEND file_options " ${files}")
  string(APPEND completion_cases "        ${name}) opts=\"${names}\" ;;\n")
  roff(summary_roff "${summary}")
  roff(help_roff "${help}")
  string(APPEND man_list ".TP\n.B ${name}\n${summary_roff}\n")
  string(APPEND man_commands ".SS ${name}\n.nf\n${help_roff}.fi\n")
  string(SUBSTRING "${src}" ${at} -1 rest)
  string(FIND "${rest}" "\nKQSER_COMMAND(" next)
  if(next LESS 0)
    break()
  endif()
  math(EXPR at "${at} + ${next}")
endwhile()
string(REPLACE ";" " " commands "${commands}")

# The man page.
string(REGEX MATCH "^kqser: ([^\n]*)" found "${head}")
roff(name_line "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "(usage: |\n +)kqser[^\n]*" usage "${head}")
set(synopsis "")
foreach(line IN LISTS usage)
  string(REGEX REPLACE "^(usage: |\n +)" "" line "${line}")
  string(APPEND synopsis "${line}\n")
endforeach()
roff(synopsis "${synopsis}")
string(REPLACE "{LIB}" "the silent build beside kqser, else ${LIBDIR}/kqSer.so" tail "${tail}")
roff(tail_roff "${tail}")
roff(libdir "${LIBDIR}")
file(WRITE "${MAN}"
".\\\" Generated from tools/kqser/CommandTable.inc; edit that file instead.\n"
".TH KQSER 1 \"\" \"kqSer ${VERSION}\" \"User Commands\"\n"
".SH NAME\nkqser \\- ${name_line}\n"
".SH SYNOPSIS\n.nf\n${synopsis}.fi\n"
".SH DESCRIPTION\n"
"kqser loads kqSer.so with dlopen, as a host does, and uses its ports: "
"serial lines, network peers and GPIO lines. Its commands:\n"
"${man_list}"
".SH COMMANDS\n${man_commands}"
".SH \"DEFINITION STRINGS, OPTIONS, EXIT STATUS\"\n.nf\n${tail_roff}.fi\n"
".SH FILES\n"
".TP\n.I ${libdir}/kqSer.so\nThe silent build of the library: loaded when \\-\\-lib is not given "
"and no build tree's silent/kqSer.so stands beside kqser.\n"
".TP\n.I ${libdir}/kqSer\\-console/kqSer.so\nThe console build, for \\-\\-lib: it prints its log "
"lines on standard output itself.\n"
".TP\n.I /etc/kqser.conf\nThe library's field options, kqser.conf(5); kqser config prints what "
"they set. kqser receives the log lines through its own trace_log, so [log] to never applies "
"to a kqser run.\n"
".TP\n.I /dev/gpio\nThe GPIO driver that kqser gpio reads and drives through the library.\n"
".TP\n.I /NandFlash/tmp/kqser.log.ini\nThe log-config file the silent build reads when a command "
"begins and writes back when it ends.\n"
".SH ENVIRONMENT\n"
".TP\n.B KQSER_CONF\nThe configuration file to read instead of /etc/kqser.conf, for the library "
"and for kqser's own reading of it; set and empty, no file.\n"
".TP\n.B LD_LIBRARY_PATH\nSearched for kqSer.so when neither \\-\\-lib, a build tree beside "
"kqser nor an install has one.\n"
".SH VERSION\nkqser ${VERSION}; kqser \\-\\-version also names the library's DllVersion.\n"
".SH \"SEE ALSO\"\n.BR kqser.conf (5)\n")

# The bash completion.
set(completion [==[
# bash completion for kqser; generated from tools/kqser/CommandTable.inc.
_kqser() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local global="@GLOBAL@" files=" @FILES@ " values=" @VALUES@ "
    local cmd="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --lib) ((i++)) ;;
            -*) ;;
            *) cmd=${COMP_WORDS[i]}; break ;;
        esac
    done
    if [[ $files == *" $prev "* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
        return
    fi
    case $prev in
@CHOICES@    esac
    if [[ $values == *" $prev "* ]]; then
        COMPREPLY=()
        return
    fi
    # DEF, the first argument of a port command: the machine's serial lines
    # by name, their by-id links, or any path.
    if [[ " @DEFCOMMANDS@ " == *" $cmd "* && $cur != -* ]]; then
        local n=0 j l lines=""
        for ((j = i + 1; j < COMP_CWORD; j++)); do
            case ${COMP_WORDS[j]} in
                -*) [[ "$values$files" == *" ${COMP_WORDS[j]} "* ]] && ((j++)) ;;
                *) ((n++)) ;;
            esac
        done
        if ((n == 0)); then
            if [[ $cur == /* || $cur == .* ]]; then
                COMPREPLY=($(compgen -f -- "$cur"))
                return
            fi
            for l in /dev/tty[A-Z]*[0-9] /dev/pts/[0-9]*; do
                [[ -e $l ]] && lines+=" ${l#/dev/}"
            done
            for l in /dev/serial/by-id/*; do
                [[ -e $l ]] && lines+=" $l"
            done
            COMPREPLY=($(compgen -W "$lines" -- "$cur"))
            return
        fi
    fi
    local opts=""
    case $cmd in
        "") COMPREPLY=($(compgen -W "@COMMANDS@ help $global" -- "$cur")); return ;;
        help) COMPREPLY=($(compgen -W "@COMMANDS@" -- "$cur")); return ;;
@CASES@    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts $global" -- "$cur"))
    else
        COMPREPLY=()
    fi
}
complete -F _kqser kqser
]==])
foreach(var value_options file_options)
  string(REGEX REPLACE " +" ";" words "${${var}}")
  list(REMOVE_ITEM words "")
  list(REMOVE_DUPLICATES words)
  string(REPLACE ";" " " ${var} "${words}")
endforeach()
string(REPLACE "@GLOBAL@" "${global_names}" completion "${completion}")
string(REPLACE "@FILES@" "${file_options}" completion "${completion}")
string(REPLACE "@VALUES@" "${value_options}" completion "${completion}")
string(REPLACE "@COMMANDS@" "${commands}" completion "${completion}")
string(REPLACE "@CASES@" "${completion_cases}" completion "${completion}")
get_property(choice_cases GLOBAL PROPERTY kqser_choice_cases)
string(REPLACE "@CHOICES@" "${choice_cases}" completion "${completion}")
string(REPLACE ";" " " def_commands "${def_commands}")
string(REPLACE "@DEFCOMMANDS@" "${def_commands}" completion "${completion}")
file(WRITE "${COMPLETION}" "${completion}")
