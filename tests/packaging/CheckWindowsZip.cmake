# Makes the zip for Windows users as `cpack -G ZIP` does and checks what is in
# it: the three programs and the README, nothing else (never a cable driver).
#   BUILD_DIR, WORK_DIR, CPACK, VERSION (as in the zip's name)
include(${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${CPACK}" -G ZIP --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack -G ZIP failed (${status}):\n${log}")
endif()

set(top "kelvo-updater-${VERSION}-windows-x64")
set(zip "${WORK_DIR}/${top}.zip")
kelvo_check("EXISTS \"${zip}\"" "no ${top}.zip in:\n${log}")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}" WORKING_DIRECTORY "${WORK_DIR}/unpacked"
                RESULT_VARIABLE status ERROR_VARIABLE log)
kelvo_check("status EQUAL 0" "the zip does not unpack: ${log}")
kelvo_files_under("${WORK_DIR}/unpacked" found)
kelvo_expect_same_files("${found}" "${top}/README.txt;${top}/kelvo-flash.exe;${top}/kelvo-scramble.exe;${top}/kelvo-updater.exe" "the zip")

file(READ "${WORK_DIR}/unpacked/${top}/README.txt" readme)
kelvo_check("readme MATCHES \"ftd2xx.dll\" AND readme MATCHES \"kelvo-flash --all --yes\" AND readme MATCHES \"Find Device\""
            "the README says not where ftd2xx.dll comes from, how to flash a batch or how to use the window")
# Notepad reads CR LF; every line ends so. (file(READ) as text drops CRs.)
file(READ "${WORK_DIR}/unpacked/${top}/README.txt" bytes HEX)
string(REGEX REPLACE "(..)" ":\\1" bytes "${bytes}")
string(REGEX MATCHALL "0d:0a" crlf "${bytes}")
string(REGEX MATCHALL ":0a" lf "${bytes}")
list(LENGTH crlf crlf)
list(LENGTH lf lf)
kelvo_check("crlf EQUAL lf AND lf GREATER 40" "the README's lines end in ${crlf} CR LF of ${lf}")

file(REMOVE_RECURSE "${WORK_DIR}")
