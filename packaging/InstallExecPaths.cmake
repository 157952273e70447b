# Run at install time (cmake -P semantics, from an install(CODE)): writes TVB_TEMPLATE to
# TVB_STAGED with its one "Exec=@TVB_BINDIR@/PROGRAM" or "ExecStart=@TVB_BINDIR@/PROGRAM" line
# (and a desktop entry's "TryExec=@TVB_BINDIR@/PROGRAM") naming the program in
# CMAKE_INSTALL_PREFIX/TVB_BINDIR_REL, written as the file's reader parses it: a prefix may
# hold spaces, quotes, backslashes or percent signs, and a unit or desktop entry that splits
# the path or takes % for a specifier would start nothing.

if(NOT TVB_TEMPLATE OR NOT TVB_STAGED OR NOT DEFINED TVB_BINDIR_REL)
  message(FATAL_ERROR "InstallExecPaths.cmake: TVB_TEMPLATE, TVB_STAGED and TVB_BINDIR_REL are needed")
endif()
file(READ "${TVB_TEMPLATE}" text)
if(NOT text MATCHES "\n(Exec|ExecStart)=@TVB_BINDIR@/([^\n]+)")
  message(FATAL_ERROR "${TVB_TEMPLATE}: no Exec= or ExecStart= line naming @TVB_BINDIR@/PROGRAM")
endif()
set(line "${CMAKE_MATCH_0}")
set(key "${CMAKE_MATCH_1}")
set(path "${CMAKE_INSTALL_PREFIX}/${TVB_BINDIR_REL}/${CMAKE_MATCH_2}")
if(path MATCHES "[\n\r]")
  message(FATAL_ERROR "cannot name ${path} in ${TVB_TEMPLATE}: the install prefix holds a line break")
endif()

set(value "${path}")
if(TVB_TEMPLATE MATCHES "\\.desktop(\\.in)?$")
  # A desktop entry's Exec: a word with a reserved character is double-quoted, and inside the
  # quotes " ` $ \ take a backslash; % is doubled; then the file's own escape doubles every
  # backslash once more.
  if(value MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(REPLACE "`" "\\`" value "${value}")
    string(REPLACE "$" "\\$" value "${value}")
    set(value "\"${value}\"")
  endif()
  string(REPLACE "%" "%%" value "${value}")
  string(REPLACE "\\" "\\\\" value "${value}")
else()
  # A systemd unit: % starts a specifier, backslash an escape; whitespace splits the command
  # unless it is quoted. The program's path is never searched for variables, and a path with
  # a quote in it systemd refuses however it is written.
  if(value MATCHES "[\"']")
    message(WARNING "systemd will not start ${path}: its path holds a quote")
  endif()
  string(REPLACE "%" "%%" value "${value}")
  string(REPLACE "\\" "\\\\" value "${value}")
  if(value MATCHES "[ \t\"']")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(value "\"${value}\"")
  endif()
endif()
string(REPLACE "${line}" "\n${key}=${value}" text "${text}")
# A desktop entry's TryExec names the same program as a plain string: only the file's own
# escape applies. A session that reads it skips an entry the removed package left in /etc.
if(text MATCHES "\nTryExec=@TVB_BINDIR@/([^\n]+)")
  set(try_line "${CMAKE_MATCH_0}")
  set(try_path "${CMAKE_INSTALL_PREFIX}/${TVB_BINDIR_REL}/${CMAKE_MATCH_1}")
  string(REPLACE "\\" "\\\\" try_path "${try_path}")
  string(REPLACE "${try_line}" "\nTryExec=${try_path}" text "${text}")
endif()
if(text MATCHES "@TVB_BINDIR@")
  message(FATAL_ERROR "${TVB_TEMPLATE}: @TVB_BINDIR@ outside its Exec and TryExec lines")
endif()
file(WRITE "${TVB_STAGED}" "${text}")
