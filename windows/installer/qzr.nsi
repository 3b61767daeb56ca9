; The Windows installer: the three programs, the WIC decoder (which also
; registers the thumbnail provider and the .qzr file type) and the manual
; pages as text, under Program Files; the folder on the user's PATH when
; asked; an uninstaller that takes all of it away again.
;
; Built by scripts/windows-package.sh, which passes
;   VERSION  the project's version (1.3.0)
;   BUILD    the MinGW build folder holding the programs and the DLL
;   DOCS     a folder holding the manual pages rendered as text
;   OUTFILE  the installer's name
;
; Silent: setup.exe /S [/PATH] [/D=C:\folder]   (/D last, without quotes)
; /PATH adds the folder to the user's PATH, as the page's box does.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
!include WinMessages.nsh
${StrStr}
${UnStrRep}

!define PRODUCT "qzr"
!define PRODUCT_KEY "Software\qzr"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\qzr"
!define ENVIRONMENT_KEY "Environment"

Name "qzr ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\qzr"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "InstallDir"
BrandingText "qzr ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "qzr"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "qzr ${VERSION} setup: the QZR wavelet image decoder, encoder and archive tool"
VIAddVersionKey "LegalCopyright" "qzr developers"

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Tells Explorer that file types changed, so that icons, thumbnails and the
; "open with" list are looked up again.
!macro NotifyAssociations
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!macroend

; Tells running programs that the environment changed.
!macro NotifyEnvironment
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
!macroend

Section "qzrdec, qzrenc and qzr" SecPrograms
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${BUILD}\qzrdec.exe"
  File "${BUILD}\tools\qzrenc.exe"
  File "${BUILD}\tools\qzr.exe"
  File "${BUILD}\windows\qzr_wic.dll"
  SetOutPath "$INSTDIR\doc"
  File "${DOCS}\*.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "qzr ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "qzr developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Open QZR pictures in Windows programs and show thumbnails" SecImaging
  ; DllRegisterServer writes the WIC decoder, the thumbnail provider and
  ; the .qzr file type.
  ClearErrors
  RegDLL "$INSTDIR\qzr_wic.dll"
  ${If} ${Errors}
    DetailPrint "The QZR decoder could not be registered"
    SetErrors
    Abort "The QZR decoder could not be registered."
  ${EndIf}
  WriteRegDWORD HKLM "${PRODUCT_KEY}" "Imaging" 1
  !insertmacro NotifyAssociations
SectionEnd

Section /o "Add the folder to my PATH" SecPath
  ReadRegStr $0 HKCU "${ENVIRONMENT_KEY}" "Path"
  ${StrStr} $1 ";$0;" ";$INSTDIR;"
  ${If} $1 == ""
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR"
    ${Else}
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKCU "${ENVIRONMENT_KEY}" "Path" "$0"
    WriteRegDWORD HKLM "${PRODUCT_KEY}" "AddedToPath" 1
    !insertmacro NotifyEnvironment
  ${EndIf}
SectionEnd

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecPath}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ReadRegDWORD $0 HKLM "${PRODUCT_KEY}" "Imaging"
  ${If} $0 == 1
    UnRegDLL "$INSTDIR\qzr_wic.dll"
    !insertmacro NotifyAssociations
  ${EndIf}

  ; Only the entry this installer added goes; the rest of the PATH stays.
  ReadRegDWORD $0 HKLM "${PRODUCT_KEY}" "AddedToPath"
  ${If} $0 == 1
    ReadRegStr $1 HKCU "${ENVIRONMENT_KEY}" "Path"
    ${UnStrRep} $1 ";$1;" ";$INSTDIR;" ";"
    ; Strip the semicolons added around it.
    StrCpy $1 $1 "" 1
    StrCpy $1 $1 -1
    ${If} $1 == ""
      DeleteRegValue HKCU "${ENVIRONMENT_KEY}" "Path"
    ${Else}
      WriteRegExpandStr HKCU "${ENVIRONMENT_KEY}" "Path" "$1"
    ${EndIf}
    !insertmacro NotifyEnvironment
  ${EndIf}

  Delete "$INSTDIR\qzrdec.exe"
  Delete "$INSTDIR\qzrenc.exe"
  Delete "$INSTDIR\qzr.exe"
  Delete "$INSTDIR\qzr_wic.dll"
  Delete "$INSTDIR\doc\*.txt"
  RMDir "$INSTDIR\doc"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd
