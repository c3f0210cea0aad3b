# Makes the zip for Windows users as `cpack -G ZIP` does and checks what is in
# it: the two programs and the README, nothing else (never a cable driver).
#   BUILD_DIR, WORK_DIR, CPACK, VERSION (as in the zip's name)
include(${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${CPACK}" -G ZIP --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack -G ZIP failed (${status}):\n${log}")
endif()

set(top "kelvo-flash-${VERSION}-windows-x64")
set(zip "${WORK_DIR}/${top}.zip")
kelvo_check("EXISTS \"${zip}\"" "no ${top}.zip in:\n${log}")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}" WORKING_DIRECTORY "${WORK_DIR}/unpacked"
                RESULT_VARIABLE status ERROR_VARIABLE log)
kelvo_check("status EQUAL 0" "the zip does not unpack: ${log}")
kelvo_files_under("${WORK_DIR}/unpacked" found)
kelvo_expect_same_files("${found}" "${top}/README.txt;${top}/kelvo-flash.exe;${top}/kelvo-scramble.exe" "the zip")

file(READ "${WORK_DIR}/unpacked/${top}/README.txt" readme)
kelvo_check("readme MATCHES \"ftd2xx.dll\" AND readme MATCHES \"kelvo-flash --all --yes\""
            "the README says neither where ftd2xx.dll comes from nor how to flash a batch")

file(REMOVE_RECURSE "${WORK_DIR}")
