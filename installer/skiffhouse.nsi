; The SkiffHouse Desktop Downloader installer: puts skiffhouse.exe into Program Files,
; adds a Start-menu shortcut and an entry in the list of installed programs, and writes
; an uninstaller that takes all of that away again with the user's Run value.
; Built by the Windows build's "installer" target:
;   makensis -DPROGRAM=<path of skiffhouse.exe> -DOUTFILE=<setup.exe> skiffhouse.nsi

!ifndef PROGRAM
  !error "PROGRAM must name the skiffhouse.exe to install"
!endif
!ifndef OUTFILE
  !define OUTFILE "SkiffHouse-1.3-setup.exe"
!endif

!define PRODUCT "SkiffHouse Desktop Downloader"
!define VERSION "1.3"
!define MAKER "SkiffHouse Software"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define WINDOW_CLASS "SINGLE_INSTANCE_APPKZRW"

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "1.3.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${MAKER}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) ${MAKER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running copy holds its program file open: ask it to end (as its close box does)
; and give it a few seconds.
!macro CloseRunningProgram
  FindWindow $0 "${WINDOW_CLASS}"
  StrCmp $0 0 +3
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    Sleep 500
!macroend
!include "WinMessages.nsh"

Section "Install"
  SetShellVarContext all
  SetRegView 64
  !insertmacro CloseRunningProgram
  SetOutPath "$INSTDIR"
  File "/oname=skiffhouse.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\skiffhouse.exe" "" "$INSTDIR\skiffhouse.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${MAKER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\skiffhouse.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; Quoted: the folder holds blanks.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  !insertmacro CloseRunningProgram
  Delete "$INSTDIR\skiffhouse.exe"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder goes: nothing the user put there is lost.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegValue HKCU "${RUN_KEY}" "SkiffHouse"
SectionEnd
