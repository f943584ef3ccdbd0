# Compiles every source under the given folders once more with -Wall -Wextra -Wpedantic, using
# the commands of the real build from compile_commands.json (syntax check only, nothing is
# written), and fails on any warning. Non-portable extensions that GCC accepts silently are what
# break the Windows and macOS builds first.
#
#   cmake -DCOMPILE_COMMANDS=.../compile_commands.json "-DDIRS=dir1;dir2" -P pedantic-check.cmake
if(NOT EXISTS "${COMPILE_COMMANDS}")
    message(FATAL_ERROR "pedantic: no ${COMPILE_COMMANDS}; build the project first")
endif()
file(READ "${COMPILE_COMMANDS}" json)
string(JSON count LENGTH "${json}")

set(checked 0)
set(warned 0)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
    string(JSON source GET "${json}" ${i} file)
    string(JSON directory GET "${json}" ${i} directory)
    string(JSON command GET "${json}" ${i} command)
    set(wanted FALSE)
    foreach(dir IN LISTS DIRS)
        string(FIND "${source}" "${dir}/" at)
        if(at EQUAL 0)
            set(wanted TRUE)
        endif()
    endforeach()
    if(NOT wanted)
        continue()
    endif()

    # Same compiler, flags and include paths; no object file, and the warnings made loud.
    separate_arguments(args UNIX_COMMAND "${command}")
    set(cleaned)
    set(skip_next FALSE)
    foreach(arg IN LISTS args)
        if(skip_next)
            set(skip_next FALSE)
        elseif(arg STREQUAL "-o" OR arg STREQUAL "-MF" OR arg STREQUAL "-MT")
            set(skip_next TRUE)
        elseif(NOT arg STREQUAL "-c" AND NOT arg MATCHES "^-M[DM]?D?$")
            list(APPEND cleaned "${arg}")
        endif()
    endforeach()
    execute_process(COMMAND ${cleaned} -fsyntax-only -Wall -Wextra -Wpedantic
        WORKING_DIRECTORY "${directory}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    math(EXPR checked "${checked} + 1")
    if(NOT rc EQUAL 0 OR out MATCHES "warning:")
        math(EXPR warned "${warned} + 1")
        message("${out}")
    endif()
endforeach()

if(checked EQUAL 0)
    message(FATAL_ERROR "pedantic: no sources of ${DIRS} in ${COMPILE_COMMANDS}")
endif()
message("pedantic: ${checked} file(s) checked, ${warned} with warnings")
if(warned GREATER 0)
    message(FATAL_ERROR "pedantic: fix the warnings above")
endif()
