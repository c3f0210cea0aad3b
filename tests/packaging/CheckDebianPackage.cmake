# Builds the Debian package from the built tree, as `cpack -G DEB` does, and
# checks its control fields, its maintainer scripts and the files it installs.
#   BUILD_DIR, SOURCE_DIR, WORK_DIR, SCRAMBLED_IMAGE, CPACK, VERSION
#   SIMULATOR_EXPECTED   the build's KELVO_INSTALL_SIMULATOR
#   SAMPLE_FIRMWARE      the build embeds the sample image
include(${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIPPED: dpkg-deb is not installed")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/out"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed (${status}):\n${log}")
endif()
file(GLOB debs "${WORK_DIR}/out/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} .deb files: ${debs}")
endif()

function(field name out)
  execute_process(COMMAND "${DPKG_DEB}" --field "${debs}" ${name} OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
field(Package package)
field(Version version)
field(Section section)
field(Maintainer maintainer)
field(Description description)
field(Depends depends)
kelvo_check("package STREQUAL \"kelvo-updater\"" "Package is '${package}'")
# A package with the sample image says so where apt and dpkg show it.
string(FIND "${description}" "SAMPLE FIRMWARE" sampleNote)
if(SAMPLE_FIRMWARE)
  kelvo_check("version STREQUAL \"${VERSION}~sample\"" "Version is '${version}', not ${VERSION}~sample")
  kelvo_check("NOT sampleNote EQUAL -1" "Description '${description}' does not warn of the sample image")
else()
  kelvo_check("version STREQUAL VERSION" "Version is '${version}', not the project's ${VERSION}")
  kelvo_check("sampleNote EQUAL -1" "Description '${description}' speaks of a sample image")
endif()
kelvo_check("section STREQUAL \"electronics\"" "Section is '${section}'")
kelvo_check("maintainer MATCHES \"^[^<]+ <[^@>]+@[^>]+>$\"" "Maintainer '${maintainer}' is no name and address")
kelvo_check("description MATCHES \"Kelvo\"" "Description '${description}' does not name the board")
# Depends entries are comma-separated, each with an optional version.
foreach(library libqt6widgets6 libftdi1-2)
  kelvo_check("depends MATCHES \"(^|, )${library}( |,|$)\"" "Depends '${depends}' lacks ${library}")
endforeach()

# The files, as `dpkg-deb --contents` lists them: the same as `cmake --install`.
execute_process(COMMAND "${DPKG_DEB}" --contents "${debs}" OUTPUT_VARIABLE listing)
string(REPLACE "\n" ";" listing "${listing}")
set(found "")
foreach(line IN LISTS listing)
  if(line MATCHES "^-[^ ]+ +[^ ]+ +[0-9]+ +[^ ]+ +[^ ]+ +\\./usr/(.+)$")
    list(APPEND found "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[^d]")
    kelvo_fail("the package holds something other than files and folders: ${line}")
  endif()
endforeach()
set(expected ${KELVO_INSTALLED_FILES})
if(SIMULATOR_EXPECTED)
  list(APPEND expected ${KELVO_SIMULATOR_FILES})
endif()
kelvo_expect_same_files("${found}" "${expected}" "files in the package")

# Unpacked, the files pass the same checks as an installed prefix.
execute_process(COMMAND "${DPKG_DEB}" -x "${debs}" "${WORK_DIR}/root" RESULT_VARIABLE status)
kelvo_check("status EQUAL 0" "dpkg-deb -x failed")
kelvo_check_installed_tree("${WORK_DIR}/root/usr")

# The maintainer scripts reload udev's rules, and dpkg can run them.
execute_process(COMMAND "${DPKG_DEB}" -e "${debs}" "${WORK_DIR}/control" RESULT_VARIABLE status)
kelvo_check("status EQUAL 0" "dpkg-deb -e failed")
foreach(script postinst postrm)
  set(path "${WORK_DIR}/control/${script}")
  execute_process(COMMAND test -x "${path}" RESULT_VARIABLE notExecutable)
  kelvo_check("notExecutable EQUAL 0" "${script} is missing or not executable")
  if(EXISTS "${path}")
    file(READ "${path}" text)
    file(READ "${SOURCE_DIR}/packaging/debian/${script}" own)
    kelvo_check("text STREQUAL own" "${script} in the package is not packaging/debian/${script}")
  endif()
endforeach()

# lintian, as a Debian archive would run it: no error and no warning, and
# none of the notes that say a binary kept its compiler's notes or, in a
# hardened build (the one that is shipped; not the sanitizers'), lost a
# hardening flag.
find_program(LINTIAN lintian)
if(NOT LINTIAN)
  kelvo_fail("lintian is not installed (scripts/install-deps.sh installs it)")
else()
  execute_process(COMMAND "${LINTIAN}" --fail-on error,warning --display-info "${debs}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_QUIET)
  kelvo_check("status EQUAL 0" "lintian exited ${status}:\n${report}")
  string(REPLACE "\n" ";" report "${report}")
  foreach(line IN LISTS report)
    if(line MATCHES "^[EW]: " OR line MATCHES "^I: .*binary-has-unneeded-section" OR
       (HARDENED AND line MATCHES "^I: .*hardening-"))
      kelvo_fail("lintian: ${line}")
    endif()
  endforeach()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
