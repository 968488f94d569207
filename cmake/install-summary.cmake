# install-summary.cmake - run last by cmake --install: says where the parts a
# user looks for went (library, brevantctl, its man page and completion, the
# Python package) and, for a prefix the system does not search, what to add
# to PATH, PYTHONPATH, MANPATH and the completion setup.
#
# Variables set by the install rule: BREVANT_SUMMARY_PYTHON (the Python
# interpreter, empty without one), BREVANT_SUMMARY_PYTHON_DIR,
# BREVANT_SUMMARY_MANDIR, BREVANT_SUMMARY_DATADIR, BREVANT_SUMMARY_BINDIR,
# BREVANT_SUMMARY_LIBDIR (all relative to the prefix).
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(DEFINED ENV{DESTDIR} AND NOT "$ENV{DESTDIR}" STREQUAL "")
  set(root "$ENV{DESTDIR}")
else()
  set(root "")
endif()
set(lines "")
set(hints "")
macro(note what path)
  if(EXISTS "${root}${path}")
    string(APPEND lines "  ${what}: ${path}\n")
  endif()
endmacro()
note("library" "${prefix}/${BREVANT_SUMMARY_LIBDIR}")
note("brevantctl" "${prefix}/${BREVANT_SUMMARY_BINDIR}/brevantctl")
note("man page" "${prefix}/${BREVANT_SUMMARY_MANDIR}/man1/brevantctl.1")
note("bash completion" "${prefix}/${BREVANT_SUMMARY_DATADIR}/bash-completion/completions/brevantctl")
note("Python package" "${prefix}/${BREVANT_SUMMARY_PYTHON_DIR}/brevant")

set(system_prefix FALSE)
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/usr/local")
  set(system_prefix TRUE)
endif()
if(NOT system_prefix AND EXISTS "${root}${prefix}/${BREVANT_SUMMARY_BINDIR}/brevantctl")
  string(APPEND hints "  export PATH=${prefix}/${BREVANT_SUMMARY_BINDIR}:$PATH\n")
endif()
if(BREVANT_SUMMARY_PYTHON AND EXISTS "${root}${prefix}/${BREVANT_SUMMARY_PYTHON_DIR}/brevant")
  # Whether python3 searches the package's folder by itself.
  execute_process(COMMAND "${BREVANT_SUMMARY_PYTHON}" -c
                          "import os, sys; print(os.path.realpath(sys.argv[1]) in map(os.path.realpath, sys.path))"
                          "${prefix}/${BREVANT_SUMMARY_PYTHON_DIR}"
                  OUTPUT_VARIABLE searched OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT searched STREQUAL "True")
    string(APPEND hints "  export PYTHONPATH=${prefix}/${BREVANT_SUMMARY_PYTHON_DIR}\${PYTHONPATH:+:$PYTHONPATH}\n")
  endif()
endif()
if(NOT system_prefix AND EXISTS "${root}${prefix}/${BREVANT_SUMMARY_MANDIR}/man1/brevantctl.1")
  # The trailing colon keeps man's own search path.
  string(APPEND hints "  export MANPATH=${prefix}/${BREVANT_SUMMARY_MANDIR}:\n")
endif()
if(NOT system_prefix AND EXISTS "${root}${prefix}/${BREVANT_SUMMARY_DATADIR}/bash-completion/completions/brevantctl")
  string(APPEND hints "  source ${prefix}/${BREVANT_SUMMARY_DATADIR}/bash-completion/completions/brevantctl   # in ~/.bashrc\n")
endif()
set(text "brevant is installed in ${prefix}:\n${lines}")
if(hints)
  string(APPEND text "${prefix} is not a place the system searches; to use it, add to your shell's setup:\n${hints}")
endif()
message(STATUS "${text}")
