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

!define UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Palomir"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Palomir"
  SetOutPath "$INSTDIR"
  File "${STAGE}\palomir.exe"
  File "${STAGE}\palomir.com"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENCES.txt"
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
  WriteRegStr HKCU "Software\Palomir" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayName" "Palomir"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL}" "Publisher" "The Palomir developers"
  WriteRegStr HKCU "${UNINSTALL}" "DisplayIcon" "$INSTDIR\palomir.exe"
  WriteRegStr HKCU "${UNINSTALL}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\palomir.exe"
  Delete "$INSTDIR\palomir.com"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENCES.txt"
  Delete "$INSTDIR\sounds\*.wav"
  RMDir "$INSTDIR\sounds"
  RMDir /r "$INSTDIR\locale"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Palomir\Palomir.lnk"
  Delete "$SMPROGRAMS\Palomir\Palomir (screen reader).lnk"
  Delete "$SMPROGRAMS\Palomir\Read me.lnk"
  RMDir "$SMPROGRAMS\Palomir"
  DeleteRegKey HKCU "${UNINSTALL}"
  DeleteRegKey HKCU "Software\Palomir"
SectionEnd
