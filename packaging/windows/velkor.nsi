; Velkor's installer for 64-bit Windows: the window, velkor-cli.exe, the Qt DLLs and plugins the window
; loads, the MinGW runtime, Qt's Chinese texts and the licences, into Program Files, with a Start-menu
; entry and an uninstaller. "setup.exe /S" installs without a question, for sites that deploy by script.
;   makensis -DVERSION=2.4 -DSTAGE=DIR -DFILES=files.nsh -DICON=velkor.ico -DOUTFILE=setup.exe velkor.nsi
; A 64-bit installer for a 64-bit program: it needs no 32-bit layer (nor does Wine, to test it).
Target amd64-unicode
!include "MUI2.nsh"
!include "${FILES}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velkor"

Name "Velkor ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Velkor"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "Velkor ${VERSION}"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=0 "ProductName" "Velkor"
VIAddVersionKey /LANG=0 "FileDescription" "Velkor ${VERSION} setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright 2026 Velkor developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\velkor.exe"
!insertmacro MUI_PAGE_LICENSE "${STAGE}/licences/velkor.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The first is the one shown on a system of neither language.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Velkor"
    !insertmacro VELKOR_INSTALL_FILES
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateDirectory "$SMPROGRAMS\Velkor"
    CreateShortcut "$SMPROGRAMS\Velkor\Velkor.lnk" "$INSTDIR\velkor.exe" "" "$INSTDIR\velkor.exe" 0
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Velkor"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Velkor"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velkor.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
    !insertmacro VELKOR_REMOVE_FILES
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Velkor\Velkor.lnk"
    RMDir "$SMPROGRAMS\Velkor"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
