# Makes the installer for Windows users, installs it silently under wine into
# a folder of the test's, checks the programs, the Start-menu entry and the
# uninstaller's registration, uninstalls it silently, and checks that nothing
# is left behind.
#   BUILD_DIR, EMULATOR (wine), INSTALLER (the installer the build makes)
include(${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target kelvo_installer
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "making the installer failed (${status}):\n${log}")
endif()

if(DEFINED ENV{WINEPREFIX})
  set(drive_c "$ENV{WINEPREFIX}/drive_c")
else()
  set(drive_c "$ENV{HOME}/.wine/drive_c")
endif()
set(folder "Kelvo Installer Test")
set(installed "${drive_c}/${folder}")
set(shortcut "${drive_c}/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvo Firmware Updater.lnk")
set(key "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KelvoFirmwareUpdater")
file(REMOVE_RECURSE "${installed}")

function(registered out)
  execute_process(COMMAND ${EMULATOR} reg query "${key}" /v UninstallString
                  RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_QUIET INPUT_FILE /dev/null)
  # Quotes would end the check's message early; wine's reg tells a missing
  # key on stdout.
  string(REPLACE "\"" "'" text "${text}")
  if(NOT status EQUAL 0)
    set(text "")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# /D= comes last and unquoted, spaces and all: wine quotes an argument with
# blanks, so the folder goes as separate words.
string(REPLACE " " ";" words "/D=C:\\${folder}")
execute_process(COMMAND ${EMULATOR} "${INSTALLER}" /S ${words}
                RESULT_VARIABLE status INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
kelvo_check("status EQUAL 0" "the silent install ended with ${status}")
kelvo_files_under("${installed}" found)
kelvo_expect_same_files("${found}" "README.txt;Uninstall.exe;kelvo-flash.exe;kelvo-updater.exe" "the installed folder")
kelvo_check("EXISTS \"${shortcut}\"" "no Start-menu entry at ${shortcut}")
registered(uninstall)
kelvo_check("uninstall MATCHES \"Kelvo Installer Test.Uninstall.exe\"" "the uninstaller is not registered: ${uninstall}")

# The uninstaller copies itself away and goes on after it has returned.
execute_process(COMMAND ${EMULATOR} "C:\\${folder}\\Uninstall.exe" /S
                RESULT_VARIABLE status INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET)
kelvo_check("status EQUAL 0" "the silent uninstall ended with ${status}")
foreach(_ RANGE 100)
  if(NOT EXISTS "${installed}" AND NOT EXISTS "${shortcut}")
    break()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.2)
endforeach()
kelvo_check("NOT EXISTS \"${installed}\"" "the uninstall left ${installed}")
kelvo_check("NOT EXISTS \"${shortcut}\"" "the uninstall left the Start-menu entry")
registered(uninstall)
kelvo_check("uninstall STREQUAL \"\"" "the uninstall left its registration: ${uninstall}")
file(REMOVE_RECURSE "${installed}")
