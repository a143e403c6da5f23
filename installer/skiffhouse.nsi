; The SkiffHouse Desktop Downloader installer. By default for the user who runs it,
; without administrator rights: skiffhouse.exe in %LOCALAPPDATA%\Programs\SkiffHouse
; Desktop Downloader, a Start-menu shortcut of that user's and an entry in the list of
; installed programs under HKEY_CURRENT_USER. /ALLUSERS (administrators) installs into
; Program Files with the shortcut and the entry for every user. The uninstaller takes
; all of that away, with the Run value and the settings (remembered passwords included)
; of the user who runs it. Windows 8 or later.
; Built by the "installer" target of the mingw-release preset:
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
; The program's settings: the company key, and under it the application's.
!define COMPANY_KEY "Software\SkiffHouse"
!define SETTINGS_KEY "Software\SkiffHouse\SkiffHouse"
!define WINDOW_CLASS "SINGLE_INSTANCE_APPKZRW"
!define NEEDS_WINDOWS "${PRODUCT} needs Windows 8 or later."

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; As the user: the default install needs no administrator, and the uninstaller then runs
; as the same user, whose own Run value and settings it removes.
RequestExecutionLevel user
ShowInstDetails show
ShowUninstDetails show

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WinVer.nsh"
!include "WinMessages.nsh"

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

Var AllUsers

; A running copy holds its program file open: ask it to end (as its close box does), wait
; until its window has gone, then until the file can be removed (the process ends last).
!macro CloseRunningProgram UN
  Function ${UN}CloseRunningProgram
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 != 0
      SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
      StrCpy $1 0
      ${Do}
        FindWindow $0 "${WINDOW_CLASS}"
        ${IfThen} $0 == 0 ${|} ${ExitDo} ${|}
        Sleep 100
        IntOp $1 $1 + 1
      ${LoopUntil} $1 >= 100
    ${EndIf}
    StrCpy $1 0
    ${DoWhile} ${FileExists} "$INSTDIR\skiffhouse.exe"
      ClearErrors
      Delete "$INSTDIR\skiffhouse.exe"
      ${IfThen} ${Errors} ${|} Sleep 100 ${|}
      IntOp $1 $1 + 1
      ${IfThen} $1 >= 100 ${|} ${ExitDo} ${|}
    ${Loop}
  FunctionEnd
!macroend
!insertmacro CloseRunningProgram ""
!insertmacro CloseRunningProgram "un."

; All users: the shortcut, the entry and the folder for everyone, which takes an administrator.
!macro UseAllUsers
  StrCpy $AllUsers 1
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Installing for all users needs administrator rights: run this as an administrator." /SD IDOK
    Abort
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  ${IfNot} ${AtLeastWin8}
    MessageBox MB_ICONSTOP "${NEEDS_WINDOWS}" /SD IDOK
    Abort
  ${EndIf}
  StrCpy $AllUsers 0
  SetShellVarContext current
  StrCpy $3 "$LOCALAPPDATA\Programs\${PRODUCT}"  ; InstallDir, unless /D named another
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/ALLUSERS" $1
  ${IfNot} ${Errors}
    !insertmacro UseAllUsers
  ${EndIf}
  ; An installed copy is upgraded where it is, unless /D names another folder.
  ${If} $AllUsers == 1
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $2 "$PROGRAMFILES64\${PRODUCT}"
  ${Else}
    ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $2 "$LOCALAPPDATA\Programs\${PRODUCT}"
  ${EndIf}
  ${If} $INSTDIR == $3
    StrCpy $INSTDIR $2
    ${IfThen} $1 != "" ${|} StrCpy $INSTDIR $1 ${|}
  ${EndIf}
FunctionEnd

!macro WriteEntry ROOT
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "Publisher" "${MAKER}"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\skiffhouse.exe"'
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; Quoted: the folder holds blanks.
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "EstimatedSize" $0
!macroend

Section "Install"
  Call CloseRunningProgram
  SetOutPath "$INSTDIR"
  ; The settings stay: an upgrade keeps the user's Run value and remembered passwords.
  File "/oname=skiffhouse.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\skiffhouse.exe" "" "$INSTDIR\skiffhouse.exe" 0
  ${If} $AllUsers == 1
    !insertmacro WriteEntry HKLM
  ${Else}
    !insertmacro WriteEntry HKCU
  ${EndIf}
SectionEnd

; The uninstaller knows its kind by the entry that names its folder.
Function un.onInit
  SetRegView 64
  StrCpy $AllUsers 0
  SetShellVarContext current
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    !insertmacro UseAllUsers
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.CloseRunningProgram
  Delete "$INSTDIR\skiffhouse.exe"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder goes: nothing the user put there is lost.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ${If} $AllUsers == 1
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${Else}
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${EndIf}
  ; The user's own: the Run value, and the settings with the remembered passwords (plain
  ; text). The company key goes only when nothing else is under it.
  DeleteRegValue HKCU "${RUN_KEY}" "SkiffHouse"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKCU "${COMPANY_KEY}"
SectionEnd
