; The installer for Windows users: the window (with its Start-menu entry), the
; command-line flasher and the README, an uninstaller registered with Windows.
; Built by the cross build with Debian's makensis, which is told:
;   OUT_FILE  the installer to write      BIN_DIR  the built programs
;   README    the README.txt to carry      VERSION  2.3.0.1
Unicode true
; Debian's makensis makes a 32-bit installer unless told otherwise.
Target amd64-unicode
SetCompressor /SOLID lzma

!define NAME "Kelvo Firmware Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KelvoFirmwareUpdater"

Name "${NAME}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
RequestExecutionLevel admin
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "CompanyName" "Kelvo"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 the Kelvo Firmware Updater developers (MIT License)"
VIAddVersionKey "FileDescription" "${NAME} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BIN_DIR}/kelvo-updater.exe"
  File "${BIN_DIR}/kelvo-flash.exe"
  File "${README}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\kelvo-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kelvo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvo-updater.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${NAME}.lnk"
  Delete "$INSTDIR\kelvo-updater.exe"
  Delete "$INSTDIR\kelvo-flash.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
