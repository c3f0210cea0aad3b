# kelvo-flash.exe as a workshop runs it: first alone in its folder, without
# the cable driver; then with the project's stand-in ftd2xx.dll beside it,
# two simulated boards behind that, flashed with --all --yes.
#   EMULATOR     runs a Windows program here (wine); empty on Windows
#   FLASH        kelvo-flash.exe     DRIVER  the stand-in ftd2xx.dll
#   PLAIN_IMAGE  the plain image the build embeds
#   WORK_DIR     scratch folder, emptied first
include(${CMAKE_CURRENT_LIST_DIR}/../packaging/PackagingChecks.cmake)

file(REMOVE_RECURSE "${WORK_DIR}")
set(program "${WORK_DIR}/program")
file(MAKE_DIRECTORY "${program}" "${WORK_DIR}/flash")
file(COPY "${FLASH}" DESTINATION "${program}")
get_filename_component(name "${FLASH}" NAME)
set(exe "${program}/${name}")

function(run_flash)
  execute_process(COMMAND ${EMULATOR} "${exe}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # Windows ends its text lines in CR LF.
  string(REPLACE "\r\n" "\n" out "${out}")
  string(REPLACE "\r\n" "\n" err "${err}")
  set(status "${status}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# No driver: --help still answers; asking for cables is one line naming the
# driver, and status 3 (no cable can be reached).
run_flash(--help)
kelvo_check("status EQUAL 0" "--help without the driver ended with ${status}: ${err}")
foreach(args IN ITEMS "--list" "--all;--yes")
  run_flash(${args})
  string(REGEX MATCHALL "\n" lines "${err}")
  list(LENGTH lines count)
  kelvo_check("status EQUAL 3" "${args} without the driver ended with ${status}, not 3: ${err}")
  kelvo_check("count EQUAL 1 AND err MATCHES \"^kelvo-flash: the FTDI cable driver ftd2xx.dll could not be loaded\""
              "${args} without the driver said: ${err}")
endforeach()
# --json still ends with its summary, which says why.
run_flash(--all --yes --json)
string(FIND "${out}" "\"status\":3," summarised)
string(FIND "${out}" "\"cause\":\"absent\"" why)
kelvo_check("status EQUAL 3 AND summarised GREATER -1 AND why GREATER -1"
            "--json without the driver ended with ${status}: ${out}")

# The stand-in driver next to the program, as the vendor's would be.
file(COPY "${DRIVER}" DESTINATION "${program}")
set(ENV{KELVO_STAND_IN_CABLES} "Corvane Serial Link:KV000001;Corvane Serial Link:KV000002")
set(ENV{KELVO_STAND_IN_FLASH_DIR} "${WORK_DIR}/flash")
run_flash(--list)
kelvo_check("status EQUAL 0" "--list ended with ${status}: ${err}")
kelvo_check("out STREQUAL \"KV000001\tCorvane Serial Link\tcan be opened\nKV000002\tCorvane Serial Link\tcan be opened\n\""
            "--list printed: ${out}")

# The updater's own choice names the board it opened and the one left alone.
run_flash(--yes)
string(FIND "${err}" "left alone: 1 other Kelvo cable (KV000002)" leftAlone)
kelvo_check("status EQUAL 0 AND out MATCHES \"^serial .*\nKV000001 \" AND leftAlone GREATER -1"
            "--yes ended with ${status}:\n${out}${err}")
if(SAMPLE)
  kelvo_check("err MATCHES \"^kelvo-flash: this build carries the SAMPLE firmware image\""
              "a sample build did not say so first:\n${err}")
endif()

run_flash(--all --yes)
kelvo_check("status EQUAL 0" "--all --yes ended with ${status}:\n${err}")
# Pages 0 to 62 hold the image's pages; the board's last page is not written.
math(EXPR written "63 * 2048")
file(READ "${PLAIN_IMAGE}" image OFFSET 8 LIMIT ${written} HEX)
foreach(serial KV000001 KV000002)
  kelvo_check("err MATCHES \"${serial}: complete\"" "no complete for ${serial}:\n${err}")
  set(dump "${WORK_DIR}/flash/${serial}.bin")
  if(NOT EXISTS "${dump}")
    kelvo_fail("board ${serial} was never closed")
    continue()
  endif()
  file(READ "${dump}" flash LIMIT ${written} HEX)
  kelvo_check("flash STREQUAL image" "board ${serial} does not hold the image")
endforeach()

# Read back, never written (each run's stand-in boards start erased): both
# differ in every page a flash writes, and --read replaces an old file with
# the whole of one board's flash.
run_flash(--verify --all)
string(FIND "${err}" "KV000001: differs (pages 0-62)" first)
string(FIND "${err}" "KV000002: differs (pages 0-62)" second)
kelvo_check("status EQUAL 9 AND first GREATER -1 AND second GREATER -1"
            "--verify --all ended with ${status}:\n${err}")
file(WRITE "${WORK_DIR}/read.bin" "old")
run_flash(--read "${WORK_DIR}/read.bin" --serial KV000002)
file(READ "${WORK_DIR}/read.bin" read HEX)
file(READ "${WORK_DIR}/flash/KV000002.bin" board HEX)
string(LENGTH "${read}" digits)
kelvo_check("status EQUAL 0 AND digits EQUAL 262144 AND read STREQUAL board"
            "--read ended with ${status} and ${digits} hex digits:\n${err}")

file(REMOVE_RECURSE "${WORK_DIR}")
