# Installs the built tree into a fresh prefix, as `cmake --install` does on a
# machine, and checks what lands there.
#   BUILD_DIR, SOURCE_DIR, WORK_DIR, SCRAMBLED_IMAGE
#   SIMULATOR_EXPECTED   the build's KELVO_INSTALL_SIMULATOR
include(${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

unset(ENV{DESTDIR})
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${log}")
endif()

kelvo_check_installed_tree("${prefix}")

set(expected ${KELVO_INSTALLED_FILES})
if(SIMULATOR_EXPECTED)
  list(APPEND expected ${KELVO_SIMULATOR_FILES})
endif()
kelvo_files_under("${prefix}" found)
kelvo_expect_same_files("${found}" "${expected}" "installed files")

# A training machine asks for the simulator; it comes on its own.
set(training "${WORK_DIR}/training")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${training}" --component Simulator
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
kelvo_check("status EQUAL 0" "cmake --install --component Simulator failed: ${log}")
kelvo_files_under("${training}" found)
kelvo_expect_same_files("${found}" "${KELVO_SIMULATOR_FILES}" "files of the Simulator component")
if(EXISTS "${training}/bin/kelvo-updater-sim")
  # A bad command line is refused before any window opens.
  execute_process(COMMAND "${training}/bin/kelvo-updater-sim" --no-such-option
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  kelvo_check("status EQUAL 2" "the installed simulator answered a bad command line with ${status}, not 2")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
