# Checks shared by the install test and the Debian package test: what must lie
# under an installed prefix, and nothing else.

# Files under the prefix, relative to it; the simulator's only when asked for.
set(KELVO_INSTALLED_FILES
  bin/kelvo-flash
  bin/kelvo-scramble
  bin/kelvo-updater
  lib/udev/rules.d/70-kelvo-ftdi.rules
  share/applications/example.kelvo.updater.desktop
  share/doc/kelvo-updater/changelog.gz
  share/doc/kelvo-updater/copyright
  share/icons/hicolor/16x16/apps/kelvo-updater.png
  share/icons/hicolor/256x256/apps/kelvo-updater.png
  share/icons/hicolor/32x32/apps/kelvo-updater.png
  share/icons/hicolor/48x48/apps/kelvo-updater.png
  share/man/man1/kelvo-flash.1.gz
  share/man/man1/kelvo-scramble.1.gz
  share/man/man1/kelvo-updater.1.gz
  share/metainfo/example.kelvo.updater.metainfo.xml)
set(KELVO_SIMULATOR_FILES bin/kelvo-updater-sim share/man/man1/kelvo-updater-sim.1.gz)

# A failed check is reported and the rest still run; `cmake -P` then exits
# with an error.
function(kelvo_fail text)
  message(SEND_ERROR "${text}")
endfunction()
# kelvo_check("<if() condition>" "what is wrong"), the condition evaluated
# in the caller's scope.
macro(kelvo_check condition text)
  cmake_language(EVAL CODE "if(${condition})\nset(_kelvo_ok TRUE)\nelse()\nset(_kelvo_ok FALSE)\nendif()")
  if(NOT _kelvo_ok)
    kelvo_fail("${text}")
  endif()
endmacro()

# Expects exactly `expected` (a list of relative paths, sorted) in `found`.
function(kelvo_expect_same_files found expected what)
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    set(missing ${expected})
    list(REMOVE_ITEM missing ${found})
    set(extra ${found})
    list(REMOVE_ITEM extra ${expected})
    kelvo_fail("${what}: missing [${missing}], unexpected [${extra}]")
  endif()
endfunction()

# Width and height from a PNG's IHDR chunk; empty when the file is no PNG.
function(kelvo_png_size file out)
  file(READ "${file}" header LIMIT 24 HEX)
  string(SUBSTRING "${header}" 0 16 signature)
  string(SUBSTRING "${header}" 24 8 chunk)
  if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT chunk STREQUAL "49484452")
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${header}" 32 8 width)
  string(SUBSTRING "${header}" 40 8 height)
  math(EXPR width "0x${width}")
  math(EXPR height "0x${height}")
  set(${out} "${width}x${height}" PARENT_SCOPE)
endfunction()

# Value of `key` in the [Desktop Entry] group of a desktop file.
function(kelvo_desktop_value file key out)
  file(STRINGS "${file}" lines)
  set(group "")
  set(value "<missing>")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\[(.*)\\]$")
      set(group "${CMAKE_MATCH_1}")
    elseif(group STREQUAL "Desktop Entry" AND line MATCHES "^${key}=(.*)$")
      set(value "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Everything a machine needs from an installed prefix `root`:
#   SOURCE_DIR        the source tree (the window's icons)
#   SCRAMBLED_IMAGE   the stored firmware image the build embedded
function(kelvo_check_installed_tree root)
  foreach(relative IN LISTS KELVO_INSTALLED_FILES)
    if(NOT EXISTS "${root}/${relative}")
      kelvo_fail("${relative} is not installed")
    endif()
  endforeach()

  # The programs: executable, and the updater carries the build's image.
  foreach(program kelvo-updater kelvo-scramble kelvo-flash)
    execute_process(COMMAND test -x "${root}/bin/${program}" RESULT_VARIABLE notExecutable)
    kelvo_check("notExecutable EQUAL 0" "bin/${program} is not executable")
  endforeach()
  execute_process(COMMAND "${root}/bin/kelvo-scramble" RESULT_VARIABLE status ERROR_VARIABLE usage)
  kelvo_check("status EQUAL 2" "installed kelvo-scramble without arguments exited ${status}, not 2 (${usage})")
  if(SCRAMBLED_IMAGE)
    # A stretch from the middle of the stored image must appear in the
    # program as it is: the resource is embedded uncompressed.
    file(READ "${SCRAMBLED_IMAGE}" piece OFFSET 262144 LIMIT 64 HEX)
    file(READ "${root}/bin/kelvo-updater" program HEX)
    string(FIND "${program}" "${piece}" at)
    kelvo_check("NOT at EQUAL -1" "bin/kelvo-updater does not carry the build's firmware image")
  endif()

  # The desktop entry starts the updater under its own icon.
  set(entry "${root}/share/applications/example.kelvo.updater.desktop")
  if(EXISTS "${entry}")
    file(STRINGS "${entry}" firstLines LIMIT_COUNT 1 REGEX "^[^#]")
    kelvo_check("firstLines STREQUAL \"[Desktop Entry]\"" "the desktop entry does not open with [Desktop Entry]")
    foreach(pair "Type=Application" "Name=Kelvo Firmware Updater" "Exec=kelvo-updater" "Icon=kelvo-updater"
                 "Terminal=false")
      string(REPLACE "=" ";" keyValue "${pair}")
      list(GET keyValue 0 key)
      list(GET keyValue 1 expected)
      kelvo_desktop_value("${entry}" ${key} value)
      kelvo_check("value STREQUAL expected" "desktop entry ${key} is '${value}', not '${expected}'")
    endforeach()
    kelvo_desktop_value("${entry}" Categories categories)
    kelvo_check("categories MATCHES \"(^|;)Utility;\"" "desktop entry Categories '${categories}' lack Utility")
    find_program(VALIDATE desktop-file-validate)
    if(VALIDATE)
      execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE status OUTPUT_VARIABLE complaints
                      ERROR_VARIABLE complaints)
      kelvo_check("status EQUAL 0 AND complaints STREQUAL \"\"" "desktop-file-validate: ${complaints}")
    endif()
  endif()

  # The software centres' listing names that entry and passes their validator.
  set(metainfo "${root}/share/metainfo/example.kelvo.updater.metainfo.xml")
  find_program(APPSTREAMCLI appstreamcli)
  if(APPSTREAMCLI AND EXISTS "${metainfo}")
    execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${metainfo}" RESULT_VARIABLE status
                    OUTPUT_VARIABLE complaints ERROR_VARIABLE complaints)
    kelvo_check("status EQUAL 0" "appstreamcli validate: ${complaints}")
    file(READ "${metainfo}" text)
    kelvo_check("text MATCHES \"<launchable type=.desktop-id.>example.kelvo.updater.desktop<\""
                "the metainfo does not launch the desktop entry")
  endif()

  # The icon at each size is the window's own, with the pixels its folder says.
  foreach(size 16 32 48 256)
    set(icon "${root}/share/icons/hicolor/${size}x${size}/apps/kelvo-updater.png")
    if(NOT EXISTS "${icon}")
      continue()
    endif()
    kelvo_png_size("${icon}" pixels)
    kelvo_check("pixels STREQUAL \"${size}x${size}\"" "the ${size}x${size} icon is '${pixels}' pixels")
    file(SHA256 "${icon}" installed)
    file(SHA256 "${SOURCE_DIR}/src/app/resources/WindowIcon${size}.png" own)
    kelvo_check("installed STREQUAL own" "the ${size}x${size} icon is not the window's WindowIcon${size}.png")
  endforeach()

  # The udev rule: the FT232R's own USB device only (ATTR, never ATTRS,
  # which would reach whatever hangs below it), access for the seat's user
  # through the uaccess tag (applied only by rules files numbered below 73),
  # and no mode or group that would open the cable to everyone.
  file(GLOB rules RELATIVE "${root}/lib/udev/rules.d" "${root}/lib/udev/rules.d/*.rules")
  foreach(name IN LISTS rules)
    set(number 99)
    if(name MATCHES "^([0-9][0-9])-")
      set(number ${CMAKE_MATCH_1})
    endif()
    kelvo_check("number LESS 73" "udev rule ${name} is not numbered below 73, where uaccess still applies")
    file(STRINGS "${root}/lib/udev/rules.d/${name}" ruleLines REGEX "^[^#]")
    set(granting "")
    foreach(line IN LISTS ruleLines)
      if(line MATCHES "SUBSYSTEM==\"usb\"" AND line MATCHES "ENV\\{DEVTYPE\\}==\"usb_device\""
         AND line MATCHES "ATTR\\{idVendor\\}==\"0403\"" AND line MATCHES "ATTR\\{idProduct\\}==\"6001\""
         AND line MATCHES "TAG\\+=\"uaccess\"")
        set(granting "${line}")
      endif()
      kelvo_check("NOT line MATCHES \"(MODE|GROUP|OWNER)[:+]?=\"" "udev rule ${name} sets permissions: ${line}")
      kelvo_check("NOT line MATCHES \"ATTRS\"" "udev rule ${name} reaches below the device: ${line}")
    endforeach()
    kelvo_check("NOT granting STREQUAL \"\"" "udev rule ${name} does not tag the FT232R (0403:6001) device with uaccess")
  endforeach()

  # Every program has its manual page.
  file(GLOB programs RELATIVE "${root}/bin" "${root}/bin/*")
  foreach(program IN LISTS programs)
    kelvo_check("EXISTS \"${root}/share/man/man1/${program}.1.gz\"" "bin/${program} has no manual page")
  endforeach()
endfunction()

# Relative paths of the regular files under `root`.
function(kelvo_files_under root out)
  file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(SORT found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
