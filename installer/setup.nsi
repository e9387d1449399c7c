; The product's installer: the 64-bit and the 32-bit driver library, the
; settings dialog, the driver's registration in both registry views, a
; Start-menu entry for the dialog and an entry in the list of installed
; programs; and the uninstaller, which removes exactly that again.
;
; installer/CMakeLists.txt builds it and defines everything brand-specific:
;   BRAND_NAME DRIVER_ID DRIVER_DESCRIPTION ASIO_NAME CLASS_ID VERSION
;   DRIVER_FILE DIALOG_FILE        names of the installed files
;   DRIVER64 DRIVER32 DIALOG       the built files to ship
;   OUTFILE                        the installer to write
;
; Exit codes (installer and uninstaller): 0 done, 1 cancelled by the user,
; 2 stopped for another reason, 3 a running program holds the driver or
; the dialog (nothing was changed), 4 the folder's path is too long
; (nothing was changed), 5 the registry could not be written,
; 740 administrator rights missing, 3010 done, but a file that was held
; goes when Windows restarts.

!macro REQUIRE_DEFINE NAME
  !ifndef ${NAME}
    !error "${NAME} is not defined: build the installer with CMake (target ksasio_installer)"
  !endif
!macroend
!insertmacro REQUIRE_DEFINE BRAND_NAME
!insertmacro REQUIRE_DEFINE DRIVER_ID
!insertmacro REQUIRE_DEFINE DRIVER_DESCRIPTION
!insertmacro REQUIRE_DEFINE ASIO_NAME
!insertmacro REQUIRE_DEFINE CLASS_ID
!insertmacro REQUIRE_DEFINE VERSION
!insertmacro REQUIRE_DEFINE DRIVER_FILE
!insertmacro REQUIRE_DEFINE DIALOG_FILE
!insertmacro REQUIRE_DEFINE DRIVER64
!insertmacro REQUIRE_DEFINE DRIVER32
!insertmacro REQUIRE_DEFINE DIALOG
!insertmacro REQUIRE_DEFINE OUTFILE

Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
AllowSkipFiles off

Name "${DRIVER_DESCRIPTION}"
OutFile "${OUTFILE}"
BrandingText "${DRIVER_DESCRIPTION} ${VERSION}"
; An existing installation is upgraded where it is.
InstallDir "$PROGRAMFILES64\${BRAND_NAME}"
InstallDirRegKey HKLM "Software\${BRAND_NAME}\${DRIVER_ID}" ""

!include LogicLib.nsh
!include FileFunc.nsh
!include MUI2.nsh

!define INSTALL_KEY "Software\${BRAND_NAME}\${DRIVER_ID}"
!define ASIO_KEY "Software\ASIO\${ASIO_NAME}"
!define CLASS_KEY "Software\Classes\CLSID\${CLASS_ID}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${DRIVER_ID}"
!define X86_FOLDER "x86"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT_FOLDER "$SMPROGRAMS\${BRAND_NAME}"
!define SHORTCUT "${SHORTCUT_FOLDER}\ASIO Settings.lnk"
; Some hosts check the library's path with a call limited to 127
; characters: the longer of the two library paths must stay below that.
!define MAX_LIBRARY_PATH 126

!define EXIT_IN_USE 3
!define EXIT_PATH_TOO_LONG 4
!define EXIT_REGISTRY 5
!define EXIT_NO_ADMIN 740
!define EXIT_REBOOT_NEEDED 3010

!define MUI_ABORTWARNING
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup installs ${DRIVER_DESCRIPTION} for every user of this computer. Choose a short folder path: some audio programs cannot load a driver whose path is longer than ${MAX_LIBRARY_PATH} characters."
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0.0"
VIFileVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${DRIVER_DESCRIPTION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${BRAND_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${DRIVER_DESCRIPTION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (C) ${BRAND_NAME}"

Var PreviousFolder

; The installer and the uninstaller write machine-wide keys and files of
; every user: without administrator rights they say so and stop at once.
!macro REQUIRE_ADMIN
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "${DRIVER_DESCRIPTION} is installed for every user of this computer and needs administrator rights.$\r$\n$\r$\nRun Setup again as an administrator." /SD IDOK
    SetErrorLevel ${EXIT_NO_ADMIN}
    Quit
  ${EndIf}
!macroend

; Jumps to LABEL with the file in $1 when a running program holds FILE: a
; loaded library or a running program cannot be opened for writing, so
; it could be neither replaced nor removed.
!macro JUMP_IF_HELD FILE LABEL
  ${If} ${FileExists} "${FILE}"
    ClearErrors
    FileOpen $2 "${FILE}" a
    ${If} ${Errors}
      StrCpy $1 "${FILE}"
      Goto ${LABEL}
    ${EndIf}
    FileClose $2
  ${EndIf}
!macroend

; WaitUntilFree (folder on the stack): returns once no running program holds
; the product's files in the folder; offers Retry while one does, and stops
; Setup when the user gives up (silently at once), before anything changed.
!macro DEFINE_WAIT_UNTIL_FREE PREFIX
Function ${PREFIX}WaitUntilFree
  Exch $0
  Push $1
  Push $2
  check:
    !insertmacro JUMP_IF_HELD "$0\${DRIVER_FILE}" held
    !insertmacro JUMP_IF_HELD "$0\${X86_FOLDER}\${DRIVER_FILE}" held
    !insertmacro JUMP_IF_HELD "$0\${DIALOG_FILE}" held
    Pop $2
    Pop $1
    Pop $0
    Return
  held:
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${DRIVER_DESCRIPTION} is in use: a running program holds$\r$\n$1$\r$\n$\r$\nClose every audio program and the ASIO settings, then choose Retry." /SD IDCANCEL IDRETRY check
    SetErrorLevel ${EXIT_IN_USE}
    Abort "${DRIVER_DESCRIPTION} is in use by a running program; nothing was changed."
FunctionEnd
!macroend
!insertmacro DEFINE_WAIT_UNTIL_FREE ""
!insertmacro DEFINE_WAIT_UNTIL_FREE "un."

; The files of an installation; a folder that holds anything else (the
; user's own files) stays. A file that cannot go now goes at the restart.
!macro REMOVE_FILES FOLDER
  Delete /REBOOTOK "${FOLDER}\${DRIVER_FILE}"
  Delete /REBOOTOK "${FOLDER}\${DIALOG_FILE}"
  Delete /REBOOTOK "${FOLDER}\${X86_FOLDER}\${DRIVER_FILE}"
  Delete /REBOOTOK "${FOLDER}\${UNINSTALLER}"
  RMDir "${FOLDER}\${X86_FOLDER}"
  RMDir "${FOLDER}"
!macroend

; The keys of one registry view (SetRegView chooses it): where the driver
; of that bitness finds the dialog, where hosts of that bitness find the
; driver, and where COM finds the library of that bitness.
!macro WRITE_REGISTRATION LIBRARY
  WriteRegStr HKLM "${INSTALL_KEY}" "" "$INSTDIR"
  WriteRegStr HKLM "${ASIO_KEY}" "CLSID" "${CLASS_ID}"
  WriteRegStr HKLM "${ASIO_KEY}" "Description" "${ASIO_NAME}"
  WriteRegStr HKLM "${CLASS_KEY}" "" "${ASIO_NAME}"
  WriteRegStr HKLM "${CLASS_KEY}\InprocServer32" "" "${LIBRARY}"
  ; Hosts create drivers from single-threaded apartments.
  WriteRegStr HKLM "${CLASS_KEY}\InprocServer32" "ThreadingModel" "Apartment"
!macroend

; The shared SOFTWARE\ASIO key, other drivers' entries and every user's
; settings (HKEY_CURRENT_USER) stay; the brand's key only goes when
; nothing else is left in it.
!macro DELETE_REGISTRATION
  DeleteRegKey HKLM "${ASIO_KEY}"
  DeleteRegKey HKLM "${CLASS_KEY}"
  DeleteRegKey HKLM "${INSTALL_KEY}"
  DeleteRegKey /ifempty HKLM "Software\${BRAND_NAME}"
!macroend

!macro REPORT_REBOOT
  ${If} ${RebootFlag}
    MessageBox MB_ICONINFORMATION "A program still held a file of ${DRIVER_DESCRIPTION}; Windows replaces or removes it when it restarts." /SD IDOK
    SetErrorLevel ${EXIT_REBOOT_NEEDED}
  ${EndIf}
!macroend

Function .onInit
  !insertmacro REQUIRE_ADMIN
FunctionEnd

Function .onVerifyInstDir
  StrLen $0 "$INSTDIR\${X86_FOLDER}\${DRIVER_FILE}"
  ${If} $0 > ${MAX_LIBRARY_PATH}
    Abort
  ${EndIf}
FunctionEnd

Section "-Install"
  SetShellVarContext all
  SetRegView 64
  ; Silent installs skip the folder page, and with it the check there.
  StrLen $0 "$INSTDIR\${X86_FOLDER}\${DRIVER_FILE}"
  ${If} $0 > ${MAX_LIBRARY_PATH}
    MessageBox MB_ICONSTOP "The folder $INSTDIR is too long: some audio programs cannot load a driver whose path is longer than ${MAX_LIBRARY_PATH} characters. Choose a shorter one." /SD IDOK
    SetErrorLevel ${EXIT_PATH_TOO_LONG}
    Abort "The folder's path is too long; nothing was changed."
  ${EndIf}

  ; Nothing is written before every file to replace is free.
  ReadRegStr $PreviousFolder HKLM "${INSTALL_KEY}" ""
  Push $INSTDIR
  Call WaitUntilFree
  ${If} $PreviousFolder != ""
  ${AndIf} $PreviousFolder != $INSTDIR
    Push $PreviousFolder
    Call WaitUntilFree
    ; Moved to another folder: the old one goes, its keys are rewritten below.
    !insertmacro REMOVE_FILES "$PreviousFolder"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=${DRIVER_FILE}" "${DRIVER64}"
  File "/oname=${DIALOG_FILE}" "${DIALOG}"
  SetOutPath "$INSTDIR\${X86_FOLDER}"
  File "/oname=${DRIVER_FILE}" "${DRIVER32}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ClearErrors
  SetRegView 64
  !insertmacro WRITE_REGISTRATION "$INSTDIR\${DRIVER_FILE}"
  SetRegView 32
  !insertmacro WRITE_REGISTRATION "$INSTDIR\${X86_FOLDER}\${DRIVER_FILE}"
  SetRegView 64
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${DRIVER_DESCRIPTION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${BRAND_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${DIALOG_FILE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  ${If} ${Errors}
    MessageBox MB_ICONSTOP "Setup could not write the driver's registration to the registry." /SD IDOK
    SetErrorLevel ${EXIT_REGISTRY}
    Abort "The registry could not be written."
  ${EndIf}

  ; The dialog starts in its own folder.
  SetOutPath "$INSTDIR"
  CreateDirectory "${SHORTCUT_FOLDER}"
  CreateShortCut "${SHORTCUT}" "$INSTDIR\${DIALOG_FILE}"
  !insertmacro REPORT_REBOOT
SectionEnd

Var RegisteredFolder

; An uninstaller works on its own folder ($INSTDIR). The registration is
; removed only when it names that folder (or is gone already), so that a
; copy left elsewhere never unregisters the installation that is in use.
Function un.onInit
  !insertmacro REQUIRE_ADMIN
  SetRegView 64
  ReadRegStr $RegisteredFolder HKLM "${INSTALL_KEY}" ""
  ${If} $RegisteredFolder != $INSTDIR
  ${AndIfNot} ${FileExists} "$INSTDIR\${DRIVER_FILE}"
    MessageBox MB_ICONSTOP "${DRIVER_DESCRIPTION} is not installed in $INSTDIR." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Push $INSTDIR
  Call un.WaitUntilFree
  ${If} $RegisteredFolder == ""
  ${OrIf} $RegisteredFolder == $INSTDIR
    SetRegView 64
    !insertmacro DELETE_REGISTRATION
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    SetRegView 32
    !insertmacro DELETE_REGISTRATION
    SetRegView 64
    Delete "${SHORTCUT}"
    RMDir "${SHORTCUT_FOLDER}"
  ${Else}
    DetailPrint "The installation in $RegisteredFolder stays registered."
  ${EndIf}
  !insertmacro REMOVE_FILES "$INSTDIR"
  !insertmacro REPORT_REBOOT
SectionEnd
