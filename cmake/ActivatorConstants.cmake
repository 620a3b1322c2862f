# Every fixed value of the system (paths, pipe name, class identifier, results
# prefix, text editor) is a build constant. Each program links its own copy of
# build_constants.cpp compiled against a generated build_config.h, so the two
# deliverables, the test programs and the end-to-end lab build can differ in
# their constants while sharing every other object file.

if(WIN32)
  set(_default_lab_root "C:\\Zorvell_Lab")
else()
  set(_default_lab_root "${CMAKE_BINARY_DIR}/lab")
endif()
set(ACTIVATOR_LAB_ROOT "${_default_lab_root}" CACHE PATH
    "Root folder of the activator's lab (log, bootstrap library, pipes, image, results)")
set(ACTIVATOR_TEXT_EDITOR "xdg-open" CACHE STRING
    "Program that opens a result file (Linux; Windows always uses notepad.exe)")
# For a package that serves every user of a machine: the installed programs
# (activator, activator-flat, activator-run) take their lab root from the
# user's data folder at start-up, $XDG_DATA_HOME/zorvell-lab or
# ~/.local/share/zorvell-lab, and find the image and the bootstrap library
# beside their own installation (<bin>/../share/notification-activator,
# <bin>/../lib/notification-activator). ACTIVATOR_LAB_ROOT then serves only the
# build tree's own runs and the tests.
option(ACTIVATOR_PER_USER_LAB "Linux: a lab root per user, found at start-up (packages)" OFF)
set(ACTIVATOR_LAB_FOLDER "zorvell-lab")
set(ACTIVATOR_PACKAGE_NAME "notification-activator")
set(ACTIVATOR_DEBUG_LOG_LIMIT 8388608 CACHE STRING
    "Size in bytes at which the debug log is renamed to its predecessor (<log>.1) and begun anew")

set(ACTIVATOR_CONSTANTS_SOURCE "${CMAKE_CURRENT_LIST_DIR}/../src/base/build_constants.cpp")
# Windows: the lab every user shares, with the user's own names in it, found
# through the platform (so defined above the base layer, beside the rest).
set(ACTIVATOR_USER_NAMED_CONSTANTS_SOURCE
    "${CMAKE_CURRENT_LIST_DIR}/../src/platform/user_named_constants.cpp")
set(ACTIVATOR_CONSTANTS_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/build_config.h.in")

function(_activator_c_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# activator_lab_paths(<prefix> LAB_ROOT <root> [FLAT <bool>])
# Sets <prefix>_LOG, _STATE, _INSTANCE_LOCK, _BOOTSTRAP, _PIPE_DIR, _IMAGE, _RESULTS_PREFIX,
# _RUN_RESULTS_PREFIX (activator-run's own result files: an owner-only folder beside the index
# files). The instance lock is a file beside the state file on POSIX, where the lab is the
# user's; on Windows a mutex of the machine, named after no lab, as the job pipe's name is the
# machine's whatever the lab. On Windows the lab serves every user of the machine: the state
# file and the lock get the user's SID in their names at start-up (user_named_constants.cpp).
function(activator_lab_paths prefix)
  cmake_parse_arguments(ARG "" "LAB_ROOT;FLAT" "" ${ARGN})
  set(root "${ARG_LAB_ROOT}")
  if(WIN32)
    set(${prefix}_LOG "${root}\\Logs\\activator_debug.txt" PARENT_SCOPE)
    set(${prefix}_STATE "${root}\\State\\activator_state.dat" PARENT_SCOPE)
    set(${prefix}_INSTANCE_LOCK "Global\\ZorvellActivator" PARENT_SCOPE)
    set(${prefix}_BOOTSTRAP "${root}\\DLL\\Microsoft.WindowsAppRuntime.Bootstrap.dll" PARENT_SCOPE)
    set(${prefix}_PIPE_DIR "" PARENT_SCOPE)
    string(REPLACE "\\" "/" root_uri "${root}")
    # The SDK's builder writes the image's address into the payload's XML as
    # it is (src='...'): a quote, an ampersand or an angle bracket in the lab's
    # path would leave every payload malformed and every notification unbuilt,
    # and a bare % is no URI. They go in escaped.
    foreach(pair "%=%25" "'=%27" "&=%26" "\"=%22" "<=%3C" ">=%3E")
      string(REGEX MATCH "^(.)=(.*)$" _ "${pair}")
      string(REPLACE "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}" root_uri "${root_uri}")
    endforeach()
    set(${prefix}_IMAGE "file:///${root_uri}/Assets/ZorvellNotify2.png" PARENT_SCOPE)
    if(ARG_FLAT)
      set(${prefix}_RESULTS_PREFIX "${root}\\Resultados\\Resultado_" PARENT_SCOPE)
      set(${prefix}_RUN_RESULTS_PREFIX "${root}\\Resultados\\activator-run\\Resultado_" PARENT_SCOPE)
    else()
      set(${prefix}_RESULTS_PREFIX "${root}\\Native\\Host\\Resultados\\Resultado_" PARENT_SCOPE)
      set(${prefix}_RUN_RESULTS_PREFIX "${root}\\Native\\Host\\Resultados\\activator-run\\Resultado_" PARENT_SCOPE)
    endif()
  else()
    set(${prefix}_LOG "${root}/Logs/activator_debug.txt" PARENT_SCOPE)
    set(${prefix}_STATE "${root}/State/activator_state.dat" PARENT_SCOPE)
    set(${prefix}_INSTANCE_LOCK "${root}/State/activator.lock" PARENT_SCOPE)
    set(${prefix}_BOOTSTRAP "${root}/DLL/libappruntime-bootstrap.so" PARENT_SCOPE)
    set(${prefix}_PIPE_DIR "${root}/pipe" PARENT_SCOPE)
    set(${prefix}_IMAGE "file://${root}/Assets/ZorvellNotify2.png" PARENT_SCOPE)
    if(ARG_FLAT)
      set(${prefix}_RESULTS_PREFIX "${root}/Resultados/Resultado_" PARENT_SCOPE)
      set(${prefix}_RUN_RESULTS_PREFIX "${root}/Resultados/activator-run/Resultado_" PARENT_SCOPE)
    else()
      set(${prefix}_RESULTS_PREFIX "${root}/Native/Host/Resultados/Resultado_" PARENT_SCOPE)
      set(${prefix}_RUN_RESULTS_PREFIX "${root}/Native/Host/Resultados/activator-run/Resultado_" PARENT_SCOPE)
    endif()
  endif()
endfunction()

# activator_add_constants(<target> [LAB_ROOT <root>] [FLAT <bool>] [TEXT_EDITOR <program>]
#                         [PER_USER <bool>])
# Compiles the build constants into <target> for the given lab root (default:
# ACTIVATOR_LAB_ROOT) and text editor (default: ACTIVATOR_TEXT_EDITOR); an
# empty value means the default. With PER_USER true (the installed programs of
# an ACTIVATOR_PER_USER_LAB build) the lab root is the user's, found at
# start-up: the lab paths are compiled in relative to it.
function(activator_add_constants target)
  cmake_parse_arguments(ARG "" "LAB_ROOT;TEXT_EDITOR;FLAT;PER_USER" "" ${ARGN})
  set(ACTIVATOR_C_PER_USER 0)
  # Windows: one lab for every user of the machine, the user's own names in
  # it found at start-up through the platform (platform/user.h).
  set(ACTIVATOR_C_PER_USER_NAMES 0)
  if(WIN32)
    set(ACTIVATOR_C_PER_USER_NAMES 1)
    target_link_libraries(${target} PRIVATE activator_platform_user)
  endif()
  if(ARG_PER_USER AND NOT WIN32)
    set(ACTIVATOR_C_PER_USER 1)
    set(ARG_LAB_ROOT "")
  endif()
  if(NOT ARG_LAB_ROOT AND NOT ACTIVATOR_C_PER_USER)
    set(ARG_LAB_ROOT "${ACTIVATOR_LAB_ROOT}")
  endif()
  if(NOT ARG_TEXT_EDITOR)
    set(ARG_TEXT_EDITOR "${ACTIVATOR_TEXT_EDITOR}")
  endif()
  if(WIN32 AND ARG_LAB_ROOT MATCHES "^/")
    # A lab inside the build tree of a cross-build: the programs run under
    # wine, whose drive Z: is the Unix root.
    string(REPLACE "/" "\\" ARG_LAB_ROOT "Z:${ARG_LAB_ROOT}")
  elseif(WIN32)
    # A PATH in the cache is kept with forward slashes (C:/Zorvell_Lab); the
    # paths compiled in are Windows paths throughout.
    string(REPLACE "/" "\\" ARG_LAB_ROOT "${ARG_LAB_ROOT}")
  endif()
  activator_lab_paths(P LAB_ROOT "${ARG_LAB_ROOT}" FLAT "${ARG_FLAT}")
  if(ACTIVATOR_C_PER_USER)
    # Relative to the program's own folder.
    set(P_BOOTSTRAP "../lib/${ACTIVATOR_PACKAGE_NAME}/libappruntime-bootstrap.so")
    set(P_IMAGE "../share/${ACTIVATOR_PACKAGE_NAME}/ZorvellNotify2.png")
  endif()
  if(WIN32)
    set(ARG_TEXT_EDITOR "notepad.exe")
  endif()
  _activator_c_string(ACTIVATOR_C_LOG "${P_LOG}")
  _activator_c_string(ACTIVATOR_C_STATE "${P_STATE}")
  _activator_c_string(ACTIVATOR_C_INSTANCE_LOCK "${P_INSTANCE_LOCK}")
  _activator_c_string(ACTIVATOR_C_LOG_PREDECESSOR "${P_LOG}.1")
  set(ACTIVATOR_C_LOG_LIMIT "${ACTIVATOR_DEBUG_LOG_LIMIT}")
  _activator_c_string(ACTIVATOR_C_BOOTSTRAP "${P_BOOTSTRAP}")
  _activator_c_string(ACTIVATOR_C_PIPE_DIR "${P_PIPE_DIR}")
  _activator_c_string(ACTIVATOR_C_IMAGE "${P_IMAGE}")
  _activator_c_string(ACTIVATOR_C_RESULTS_PREFIX "${P_RESULTS_PREFIX}")
  _activator_c_string(ACTIVATOR_C_RUN_RESULTS_PREFIX "${P_RUN_RESULTS_PREFIX}")
  _activator_c_string(ACTIVATOR_C_TEXT_EDITOR "${ARG_TEXT_EDITOR}")
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_constants")
  configure_file("${ACTIVATOR_CONSTANTS_TEMPLATE}" "${dir}/build_config.h" @ONLY)
  target_sources(${target} PRIVATE "${ACTIVATOR_CONSTANTS_SOURCE}")
  if(ACTIVATOR_C_PER_USER_NAMES)
    target_sources(${target} PRIVATE "${ACTIVATOR_USER_NAMED_CONSTANTS_SOURCE}")
  endif()
  # A per-target include path only: a source file property is shared by every
  # target of the directory, so the last program declared there would lend its
  # constants to all the others.
  target_include_directories(${target} PRIVATE "${dir}")
endfunction()

# activator_make_lab(<root> [WITH_IMAGE <png>])
# Creates the lab folders the program expects (it never creates Logs itself).
function(activator_make_lab root)
  cmake_parse_arguments(ARG "" "WITH_IMAGE" "" ${ARGN})
  foreach(sub Logs State DLL Assets pipe Resultados Native/Host/Resultados)
    file(MAKE_DIRECTORY "${root}/${sub}")
  endforeach()
  # Owner-only, as a package's lab is: it holds the job pipe, the reply
  # pipes' names and the results, and ACTIVATOR_LAB_ROOT may lie under a
  # folder every user of the machine shares. The root alone keeps them out.
  if(NOT WIN32)
    file(CHMOD "${root}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endif()
  if(ARG_WITH_IMAGE)
    file(COPY_FILE "${ARG_WITH_IMAGE}" "${root}/Assets/ZorvellNotify2.png" ONLY_IF_DIFFERENT)
  endif()
endfunction()
