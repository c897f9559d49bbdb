; The player's installer: a per-user install without administrator rights
; into the user's own programs folder. The launcher keeps its state (data\,
; launcher.log) beside itself, so the install folder stays the player's to
; write. makensis gets VERSION, STAGE (the folder the zip is made of),
; OUTFILE, ICON and, when the build signs, SIGN (a command that signs the file
; named by its last argument in place).
; 64-bit like the launcher itself (and the only kind a 64-bit-only Wine runs).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "ТАРН"
!define PUBLISHER "TarnLauncher developers"
!define EXE "tarn-launcher.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TarnLauncher"
!define WEBVIEW_PRODUCT "{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
!define WEBVIEW_URL "https://developer.microsoft.com/microsoft-edge/webview2/"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\TarnLauncher"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка лаунчера ${PRODUCT}"
VIAddVersionKey /LANG=1049 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© 2026 ${PUBLISHER}"

!ifdef SIGN
  !finalize '${SIGN} "%1"'
  !uninstfinalize '${SIGN} "%1"'
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!define MUI_FINISHPAGE_RUN_TEXT "Запустить лаунчер"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

; The web view runtime the page needs comes from Microsoft; nothing is
; bundled, so the player is told where to get it. The same registry places
; the launcher looks in.
Function WebViewInstalled
  Push $0
  ReadRegStr $0 HKLM "SOFTWARE\WOW6432Node\Microsoft\EdgeUpdate\Clients\${WEBVIEW_PRODUCT}" "pv"
  ${If} $0 == ""
  ${OrIf} $0 == "0.0.0.0"
    ReadRegStr $0 HKLM "SOFTWARE\Microsoft\EdgeUpdate\Clients\${WEBVIEW_PRODUCT}" "pv"
  ${EndIf}
  ${If} $0 == ""
  ${OrIf} $0 == "0.0.0.0"
    ReadRegStr $0 HKCU "SOFTWARE\Microsoft\EdgeUpdate\Clients\${WEBVIEW_PRODUCT}" "pv"
  ${EndIf}
  ${If} $0 == "0.0.0.0"
    StrCpy $0 ""
  ${EndIf}
  Exch $0
FunctionEnd

; Started by the launcher to replace itself (/UPGRADE, always with /S): the
; launcher closes as soon as this runs, and nothing is written while it or
; another installer still holds the single-instance guard the launcher
; takes at start (host/common/window_layout.h). /PORTABLE, with /D= the
; folder of a copy unpacked from the zip: the program and its page only, no
; uninstaller, shortcuts or registry entry; the launcher has renamed its
; program aside (".old") and removes that at its next start.
!define GUARD "Global\TarnLauncherSingleInstance"
!define ERROR_ALREADY_EXISTS 183
; 240 tries 250 ms apart: a minute, then the upgrade gives up untouched
; (a test makes an impatient one).
!ifndef GUARD_TRIES
  !define GUARD_TRIES 240
!endif
!define GUARD_BUSY_EXIT 3
Var Upgrade
Var Portable
Var Guard

; Holds the guard from here until the new launcher is started, so neither
; the old launcher nor a second installer starts meanwhile. The handle is
; made without taking ownership: the guard is free when no one holds a
; handle to it, which is what the launcher asks at its start.
Function WaitForGuard
  StrCpy $R2 0
  ${Do}
    System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${GUARD}") p .r0 ?e'
    Pop $1
    ; Made by us, or not to be made at all (the launcher goes on then too).
    ${If} $0 == 0
    ${OrIf} $1 <> ${ERROR_ALREADY_EXISTS}
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
    IntOp $R2 $R2 + 1
    ${If} $R2 >= ${GUARD_TRIES}
      Call PutProgramBack
      SetErrorLevel ${GUARD_BUSY_EXIT}
      Quit
    ${EndIf}
    Sleep 250
  ${Loop}
  StrCpy $Guard $0
FunctionEnd

; A folder copy whose program was renamed aside and never replaced gets it
; back, so the player still has a launcher to start.
Function PutProgramBack
  ${If} $Portable == 1
  ${AndIfNot} ${FileExists} "$INSTDIR\${EXE}"
    Rename "$INSTDIR\${EXE}.old" "$INSTDIR\${EXE}"
  ${EndIf}
FunctionEnd

Function ReleaseGuard
  ${If} $Guard != ""
  ${AndIf} $Guard != 0
    System::Call 'kernel32::CloseHandle(p $Guard)'
    StrCpy $Guard ""
  ${EndIf}
FunctionEnd

; A quiet install skips a file it cannot write; a folder copy must not be
; left without its program for that.
Function .onInstSuccess
  ${If} $Upgrade == 1
    Call ReleaseGuard
    Call PutProgramBack
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
FunctionEnd

Function .onInstFailed
  ${If} $Upgrade == 1
    Call ReleaseGuard
    Call PutProgramBack
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
FunctionEnd

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/UPGRADE" $R1
  ${IfNot} ${Errors}
    StrCpy $Upgrade 1
    ClearErrors
    ${GetOptions} $R0 "/PORTABLE" $R1
    ${IfNot} ${Errors}
      StrCpy $Portable 1
    ${EndIf}
    Call ChooseUpgradeSections
    Call WaitForGuard
  ${EndIf}
  Call WebViewInstalled
  Pop $0
  ${If} $0 == ""
    MessageBox MB_OK|MB_ICONINFORMATION "Для работы лаунчера нужен компонент «Microsoft Edge WebView2 Runtime», а на этом компьютере его нет.$\r$\n$\r$\nЛаунчер будет установлен, но открыть его окно получится только после установки компонента. Скачайте его с сайта Microsoft:$\r$\n${WEBVIEW_URL}$\r$\n(в Windows 11 он уже есть)." /SD IDOK
  ${EndIf}
FunctionEnd

Section "Лаунчер" SecProgram
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}\${EXE}"
  File "${STAGE}\README.txt"
  ; A page left from an older version must not mix with the new one; data\
  ; (accounts, the install record) stays as it is.
  RMDir /r "$INSTDIR\ui"
  File /r "${STAGE}\ui"
  ${If} $Portable == 1
    Return
  ${EndIf}
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0

  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  ${GetSize} "$INSTDIR\ui" "/S=0K" $3 $1 $2
  IntOp $0 $0 + $3
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Ярлык на рабочем столе" SecDesktop
  SetShellVarContext current
  CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0
SectionEnd

; An upgrade keeps the shortcuts as the player left them: a desktop link the
; player removed does not come back, and a folder copy gets none.
Function ChooseUpgradeSections
  SetShellVarContext current
  ${If} $Portable == 1
  ${OrIfNot} ${FileExists} "$DESKTOP\${PRODUCT}.lnk"
    SectionSetFlags ${SecDesktop} 0
  ${EndIf}
FunctionEnd

; The uninstaller removes exactly what the installer put here and what the
; launcher writes beside itself; the game client's folder, wherever the
; player put it, is never looked at.
Section "un.Лаунчер" UnSecProgram
  SectionIn RO
  SetShellVarContext current
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\launcher.log"
  RMDir /r "$INSTDIR\ui"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$DESKTOP\${PRODUCT}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
SectionEnd

Section /o "un.Сохранённые аккаунты и настройки (папка data)" UnSecData
  RMDir /r "$INSTDIR\data"
SectionEnd

Section "-un.Folder"
  ; Only when nothing else is left in it.
  RMDir "$INSTDIR"
SectionEnd
