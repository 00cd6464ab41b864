; The Windows installer: for the player alone (no administrator rights), into
; %LOCALAPPDATA%\Programs\Palomir, with Start-menu entries and an uninstaller listed under
; Settings > Apps. makensis -DVERSION=... -DSTAGE=folder -DOUT=file palomir.nsi
Unicode true
; A 64-bit installer for a 64-bit game (and Wine runs it without its 32-bit half).
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
Name "Palomir ${VERSION}"
OutFile "${OUT}"
InstallDir "$LOCALAPPDATA\Programs\Palomir"
InstallDirRegKey HKCU "Software\Palomir" "InstallDir"
ShowInstDetails show

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "WinMessages.nsh"

!define UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Palomir"
; The game's icon, where it has been drawn; without it the installer keeps NSIS's own.
!define ICON "${__FILEDIR__}/../../data/windows/palomir.ico"
!if /FileExists "${ICON}"
  !define HAS_ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif

!define MUI_FINISHPAGE_RUN "$INSTDIR\palomir.exe"
!define MUI_FINISHPAGE_RUN_TEXT "$(StartGame)"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The game's six languages; the one of the system's is taken, else English.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_LANGUAGE "Spanish"
!insertmacro MUI_LANGUAGE "French"
!insertmacro MUI_LANGUAGE "PortugueseBR"
!insertmacro MUI_LANGUAGE "Russian"

LangString StartGame ${LANG_ENGLISH} "Start Palomir"
LangString StartGame ${LANG_GERMAN} "Palomir starten"
LangString StartGame ${LANG_SPANISH} "Iniciar Palomir"
LangString StartGame ${LANG_FRENCH} "Lancer Palomir"
LangString StartGame ${LANG_PORTUGUESEBR} "Iniciar o Palomir"
LangString StartGame ${LANG_RUSSIAN} "Запустить Palomir"
LangString GameRunning ${LANG_ENGLISH} "Palomir is still running. Close the game, then choose Retry."
LangString GameRunning ${LANG_GERMAN} "Palomir läuft noch. Beenden Sie das Spiel und wählen Sie dann Wiederholen."
LangString GameRunning ${LANG_SPANISH} "Palomir sigue abierto. Cierre el juego y elija Reintentar."
LangString GameRunning ${LANG_FRENCH} "Palomir est encore ouvert. Fermez le jeu, puis choisissez Recommencer."
LangString GameRunning ${LANG_PORTUGUESEBR} "O Palomir ainda está aberto. Feche o jogo e escolha Repetir."
LangString GameRunning ${LANG_RUSSIAN} "Palomir ещё запущен. Закройте игру и нажмите «Повтор»."

; The game, when it runs, is asked to close (its window's class is "Palomir") and given a few
; seconds; palomir.exe is then removed, which Windows refuses while it runs. If it still runs,
; the player closes it or cancels: an old palomir.exe is never left behind a reported success.
!macro CLOSE_GAME un
Function ${un}CloseGame
  FindWindow $0 "Palomir"
  StrCmp $0 0 removing
  SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
  StrCpy $1 0
  waiting:
    Sleep 250
    FindWindow $0 "Palomir"
    StrCmp $0 0 removing
    IntOp $1 $1 + 1
    IntCmp $1 20 removing waiting removing
  removing:
    IfFileExists "$INSTDIR\palomir.exe" 0 done
    ClearErrors
    Delete "$INSTDIR\palomir.exe"
    IfErrors 0 done
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(GameRunning)" /SD IDCANCEL IDRETRY removing
    SetErrorLevel 2
    Abort
  done:
FunctionEnd
!macroend
!insertmacro CLOSE_GAME ""
!insertmacro CLOSE_GAME "un."

Section "Palomir"
  SetOutPath "$INSTDIR"
  Call CloseGame
  File "${STAGE}\palomir.exe"
  File "${STAGE}\palomir.com"
  File "${STAGE}\libsoxr.dll"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENCES.txt"
  SetOutPath "$INSTDIR\licences"
  File "${STAGE}\licences\*.txt"
  SetOutPath "$INSTDIR\sounds"
  File "${STAGE}\sounds\*.wav"
  ; The catalogs of the game's lines, one folder a language.
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\locale"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Palomir"
  CreateShortcut "$SMPROGRAMS\Palomir\Palomir.lnk" "$INSTDIR\palomir.exe"
  CreateShortcut "$SMPROGRAMS\Palomir\Palomir (screen reader).lnk" "$INSTDIR\palomir.exe" "--speech=system"
  CreateShortcut "$SMPROGRAMS\Palomir\Read me.lnk" "$INSTDIR\README.txt"
  ; A match against a friend: hosted, or joined at an address the game asks for by voice.
  CreateShortcut "$SMPROGRAMS\Palomir\Palomir, host a match.lnk" "$INSTDIR\palomir.exe" "--host"
  CreateShortcut "$SMPROGRAMS\Palomir\Palomir, join a match.lnk" "$INSTDIR\palomir.exe" "--join"
  WriteRegStr HKCU "Software\Palomir" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayName" "Palomir"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL}" "Publisher" "The Palomir developers"
!ifdef HAS_ICON
  File "/oname=palomir.ico" "${ICON}"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayIcon" "$INSTDIR\palomir.ico"
!else
  WriteRegStr HKCU "${UNINSTALL}" "DisplayIcon" "$INSTDIR\palomir.exe"
!endif
  WriteRegStr HKCU "${UNINSTALL}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL}" "NoRepair" 1
  ; What Settings > Apps shows as its size, in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL}" "EstimatedSize" $0
SectionEnd

; Windows does not let a running program's file be removed, so the uninstaller runs from a
; copy NSIS makes in %TEMP%\~nsu*.tmp, which nothing removes afterwards. That copy starts
; itself once more under a hidden command prompt, which waits for it to end and then removes
; the folder; the first copy ends at once. Run in place (_?= given), or where no command
; prompt may be started, the copy uninstalls by itself, its folder left as NSIS leaves it.
Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/WATCHED" $R1
  IfErrors 0 uninstall
  ${GetFileName} $EXEDIR $R1
  StrCpy $R1 $R1 4
  StrCmp $R1 "~nsu" 0 uninstall
  ReadRegDWORD $R1 HKCU "Software\Policies\Microsoft\Windows\System" "DisableCMD"
  StrCmp $R1 1 uninstall
  ; The prompt's folder is not the one it removes.
  SetOutPath $TEMP
  ClearErrors
  ExecShell "open" "$SYSDIR\cmd.exe" '/d /c "start "" /wait "$EXEPATH" $R0 /WATCHED _?=$INSTDIR& rmdir /s /q "$EXEDIR""' SW_HIDE
  IfErrors uninstall
  Quit
  uninstall:
FunctionEnd

; The player's settings (%APPDATA%\Palomir) stay: a game installed again finds them.
Section "Uninstall"
  Call un.CloseGame
  Delete "$INSTDIR\palomir.exe"
  Delete "$INSTDIR\palomir.com"
  Delete "$INSTDIR\libsoxr.dll"
  Delete "$INSTDIR\palomir.ico"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENCES.txt"
  Delete "$INSTDIR\licences\*.txt"
  RMDir "$INSTDIR\licences"
  Delete "$INSTDIR\sounds\*.wav"
  RMDir "$INSTDIR\sounds"
  RMDir /r "$INSTDIR\locale"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Palomir\Palomir.lnk"
  Delete "$SMPROGRAMS\Palomir\Palomir (screen reader).lnk"
  Delete "$SMPROGRAMS\Palomir\Read me.lnk"
  Delete "$SMPROGRAMS\Palomir\Palomir, host a match.lnk"
  Delete "$SMPROGRAMS\Palomir\Palomir, join a match.lnk"
  RMDir "$SMPROGRAMS\Palomir"
  DeleteRegKey HKCU "${UNINSTALL}"
  DeleteRegKey HKCU "Software\Palomir"
SectionEnd
