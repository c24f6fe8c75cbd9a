; velvox-setup.exe: installs velvox and the suite's components on 64-bit Windows.
; Built by the project's build (installer/CMakeLists.txt):
;   makensis -INPUTCHARSET UTF8 -DVX_SRC=<repository> -DVX_BIN=<build>/bin
;            -DVX_OUTFILE=<build>/velvox-setup.exe installer/velvox.nsi
; Silent: velvox-setup.exe /S [/D=C:\folder]   Uninstall: uninstall.exe [/S]
Unicode true
Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
; The setup and the uninstaller import comctl32, which is no known DLL: with the common
; controls declared in their manifest the system takes it from its side-by-side store and
; never looks for it in the folder the setup was started from.
XPStyle on
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include WinVer.nsh
!include FileFunc.nsh
!include WinMessages.nsh

; Version and publisher come from the program's own resources, so that the setup and
; its uninstall entry always say what velvox.exe says.
!searchparse /file "${VX_SRC}/res/resource.h" '#define VX_VERSION_TEXT "' VX_VERSION '"'
!searchparse /file "${VX_SRC}/res/velvox.rc" 'VALUE "CompanyName", "' VX_PUBLISHER '"'
!searchparse /file "${VX_SRC}/res/velvox.rc" 'VALUE "ProductName", "' VX_PRODUCT '"'
!searchparse /file "${VX_SRC}/shellext/vxshell.h" '#define VXSHELL_CLSID_TEXT "' SHX_CLSID '"'

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TARVO-Pro velvox"
!define APPPATH_KEY "Software\Microsoft\Windows\CurrentVersion\App Paths\velvox.exe"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define APPROVED_KEY "Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved"
; Read by velvox: the guard's version selects the operation log's interface (5.1: the
; log service's client TCTrace.dll and tcexplog.dll), the add-on's key says "installed".
!define GUARD_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\{5D2C8E41-7A03-4F6B-9E15-2C7B40A9D3E8}"
!define TVXDRV_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\{A3E91F07-4C2D-4B88-8F6A-71D05E3C92B4}"
!define LOGSVC_KEY "Software\Norvane\TARVO-Pro\LogService"
!define KVRFLT_KEY "SYSTEM\CurrentControlSet\Services\kvrflt"
!define VERB "velvox.encrypt"
!define PROGID "velvox.xss"
!define DATA "$APPDATA\Norvane\TARVO-Pro"
!define MENU "$SMPROGRAMS\TARVO-Pro velvox"

Name "velvox"
Caption "${VX_PRODUCT} velvox ${VX_VERSION} セットアップ"
UninstallCaption "${VX_PRODUCT} velvox アンインストール"
OutFile "${VX_OUTFILE}"
; A signing build (-DVX_SIGN=<command>) signs the setup, the uninstaller it carries and
; (signed copies) the plug-ins it unpacks.
!ifdef VX_SIGN
  !addplugindir /amd64-unicode "${VX_SIGNED_PLUGINS}"
  !finalize '"${VX_SIGN}" "%1"' = 0
  !uninstfinalize '"${VX_SIGN}" "%1"' = 0
!endif
Icon "${VX_SRC}/res/velvox.ico"
UninstallIcon "${VX_SRC}/res/velvox.ico"
InstallDir "$PROGRAMFILES64\Norvane\TARVO-Pro"
ShowInstDetails show
ShowUninstDetails show

LoadLanguageFile "${NSISDIR}\Contrib\Language files\Japanese.nlf"

VIProductVersion "${VX_VERSION}"
VIFileVersion "${VX_VERSION}"
VIAddVersionKey /LANG=${LANG_JAPANESE} "CompanyName" "${VX_PUBLISHER}"
VIAddVersionKey /LANG=${LANG_JAPANESE} "ProductName" "${VX_PRODUCT}"
VIAddVersionKey /LANG=${LANG_JAPANESE} "ProductVersion" "${VX_VERSION}"
VIAddVersionKey /LANG=${LANG_JAPANESE} "FileVersion" "${VX_VERSION}"
VIAddVersionKey /LANG=${LANG_JAPANESE} "FileDescription" "velvox 手動暗号ツール セットアップ"
VIAddVersionKey /LANG=${LANG_JAPANESE} "OriginalFilename" "velvox-setup.exe"
VIAddVersionKey /LANG=${LANG_JAPANESE} "LegalCopyright" "Copyright (C) 2026 ${VX_PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Everything the setup puts into the program folder, once for both directions.
!macro VX_FILES DO
  !insertmacro ${DO} velvox.exe
  !insertmacro ${DO} tarvodev.dll
  !insertmacro ${DO} Zoras.dll
  !insertmacro ${DO} tvkeyadm.exe
  !insertmacro ${DO} tvxdrv.dll
  !insertmacro ${DO} tvresident.exe
  !insertmacro ${DO} KvrGrd.dll
  !insertmacro ${DO} tglogsvc.exe
  !insertmacro ${DO} TCTrace.dll
  !insertmacro ${DO} tgexplog.dll
  !insertmacro ${DO} tcexplog.dll
  !insertmacro ${DO} tvsetwr.exe
  !insertmacro ${DO} tvtokadm.exe
!macroend
!macro INSTALL_FILE NAME
  File "${VX_BIN}/${NAME}"
!macroend
!macro REMOVE_FILE NAME
  Delete /REBOOTOK "$INSTDIR\${NAME}"
!macroend

; Writes `VALUE` for a key of an INI file only where the key is missing, so that an
; upgrade keeps what an administrator set.
!macro INI_DEFAULT FILE SECTION KEY VALUE
  ClearErrors
  ReadINIStr $R9 "${FILE}" "${SECTION}" "${KEY}"
  ${If} ${Errors}
    WriteINIStr "${FILE}" "${SECTION}" "${KEY}" "${VALUE}"
  ${EndIf}
!macroend

; A shell verb for files or folders. The shell gives a "DropTarget" verb with
; MultiSelectModel "Player" the whole selection at once (vxshell.dll starts one
; velvox.exe with all of it); "command" serves hosts that only run command lines.
!macro ENCRYPT_VERB CLASS
  WriteRegStr HKLM "Software\Classes\${CLASS}\shell\${VERB}" "" "velvox で暗号化(&V)"
  WriteRegStr HKLM "Software\Classes\${CLASS}\shell\${VERB}" "Icon" '"$INSTDIR\velvox.exe",0'
  WriteRegStr HKLM "Software\Classes\${CLASS}\shell\${VERB}" "MultiSelectModel" "Player"
  WriteRegStr HKLM "Software\Classes\${CLASS}\shell\${VERB}\command" "" '"$INSTDIR\velvox.exe" "%1"'
  WriteRegStr HKLM "Software\Classes\${CLASS}\shell\${VERB}\DropTarget" "CLSID" "${SHX_CLSID}"
!macroend

; Stops the suite's resident programs of a previous installation, which hold their files.
!macro STOP_SUITE_PROGRAMS UN
Function ${UN}StopSuitePrograms
  FindWindow $0 "#32770" "tarvo"
  ${If} $0 <> 0
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\tglogsvc.exe"
    nsExec::Exec '"$INSTDIR\tglogsvc.exe" --stop'
    Pop $0
    ; The service holds its stop event until it has ended.
    StrCpy $1 0
    ${Do}
      System::Call 'kernel32::OpenEventW(i 0x00100000, i 0, w "tgt_log_service_stop") p .r0'
      ${If} $0 P= 0
        ${Break}
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r0)'
      IntOp $1 $1 + 1
      ${If} $1 > 50
        ${Break}
      ${EndIf}
      Sleep 100
    ${Loop}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro STOP_SUITE_PROGRAMS ""
!insertmacro STOP_SUITE_PROGRAMS "un."

Function .onInit
  SetRegView 64
  ${IfNot} ${AtLeastWin7}
    MessageBox MB_OK|MB_ICONSTOP "velvox には Windows 7 以降の 64 ビット版が必要です。" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; An upgrade goes where the installed copy is.
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "velvox"
  SetShellVarContext all
  SetRegView 64
  Call StopSuitePrograms

  SetOutPath "$INSTDIR"
  !insertmacro VX_FILES INSTALL_FILE
  ; Explorer keeps vxshell.dll loaded: a loaded DLL cannot be replaced but can be
  ; renamed, and the old copy goes at the next restart.
  Delete "$INSTDIR\vxshell.dll"
  ${If} ${FileExists} "$INSTDIR\vxshell.dll"
    GetTempFileName $0 "$INSTDIR"
    Delete $0
    Rename "$INSTDIR\vxshell.dll" $0
    Delete /REBOOTOK $0
  ${EndIf}
  File "${VX_BIN}/vxshell.dll"
  ; The suite's software token, the plug-in that policy.ini's PLUGINNAME can name.
  SetOutPath "$INSTDIR\PlugIns"
  File "${VX_BIN}/tvtoken.dll"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The uninstall entry first: whatever fails below, the uninstaller can clean up.
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${VX_PRODUCT} velvox"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VX_VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${VX_PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" '"$INSTDIR\velvox.exe",0'
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0

  WriteRegStr HKLM "${APPPATH_KEY}" "" "$INSTDIR\velvox.exe"
  WriteRegStr HKLM "${APPPATH_KEY}" "Path" "$INSTDIR"

  ; The data folder: ordinary users may create folders under ProgramData and own them,
  ; and a handle opened before keeps its rights after a change of owner or list. So
  ; nothing found there is used before vxdatadir.exe has moved aside every folder and
  ; file that administrators did not make for the setup, made the missing levels and
  ; journals, and set the owner and protected list of what stays.
  ; It runs from the program folder, which only administrators write (README.md says
  ; what of /D=), not from the temporary folder, which the installing user's own
  ; programs can write.
  File "/oname=$INSTDIR\vxdatadir.exe" "${VX_BIN}/vxdatadir.exe"
  nsExec::ExecToLog '"$INSTDIR\vxdatadir.exe" --root "$APPDATA"'
  Pop $0
  Delete "$INSTDIR\vxdatadir.exe"
  ${If} $0 != 0
    ${If} $0 == 2
      StrCpy $1 "$APPDATA\Norvane、${DATA} またはその中のフォルダーやファイルがリンクになっているか、フォルダーであるべきものがフォルダーではありません。確認して取り除いてから、もう一度セットアップを実行してください。"
    ${ElseIf} $0 == 3
      StrCpy $1 "$APPDATA\Norvane または ${DATA} の中に、管理者以外が作ったフォルダーまたはファイルがあり、ほかのプログラムが使用中のため別名にできません。そのプログラムを終了してから、もう一度セットアップを実行してください。"
    ${Else}
      StrCpy $1 "${DATA} の所有者とアクセス権を設定できません (vxdatadir: $0)。管理者として実行してください。"
    ${EndIf}
    DetailPrint $1
    MessageBox MB_OK|MB_ICONSTOP $1 /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; An empty store made the way an administrator makes one; a store kept above stays.
  ${IfNot} ${FileExists} "${DATA}\keystore.dat"
    nsExec::ExecToLog '"$INSTDIR\tvkeyadm.exe" --store "${DATA}" init'
    Pop $0
    ${If} $0 != 0
      DetailPrint "鍵ストアを作成できません (tvkeyadm init: $0)"
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}

  ; Settings with their defaults; keys already there stay as they are.
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" OPTION USETEMPLIST 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" OPTION LASTKEYNAME 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" OPTION KEYINDISABLE 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" OPTION USETOKEN 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" OPTION PLUGINNAME ""
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX PWRETRYLIST 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX PWRETRYMODE 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX EXTMODE 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX PWRETRYMAX 5
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX PWLEN 1
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX EXTSTRING "ex_"
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX SELFEXTRACT 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX SELFEXTLANG 0
  !insertmacro INI_DEFAULT "${DATA}\policy.ini" VELVOX PWRETRY 1
  ; The media settings file is the media filter's; without one installed velvox reads
  ; ours, named by the value that the filter would otherwise own.
  ReadRegStr $0 HKLM "${KVRFLT_KEY}" "Media"
  ${If} $0 == ""
    WriteRegStr HKLM "${KVRFLT_KEY}" "Media" "${DATA}\kvrfltme.ini"
    StrCpy $0 "${DATA}\kvrfltme.ini"
  ${EndIf}
  ${If} $0 == "${DATA}\kvrfltme.ini"
    !insertmacro INI_DEFAULT $0 MEDIA REMOVABLE 0
    !insertmacro INI_DEFAULT $0 MEDIASETTING DISABLEARCHIVE 0
    !insertmacro INI_DEFAULT $0 MEDIASETTING KEYNAME ""
  ${EndIf}

  ; The suite's registrations. A key that another product of the suite made stays
  ; that product's: ours are marked in the uninstall entry and only they are removed.
  ReadRegDWORD $0 HKLM "${GUARD_KEY}" "Version"
  ReadRegDWORD $1 HKLM "${UNINST_KEY}" "OwnsGuardKey"
  ${If} $0 == ""
  ${OrIf} $1 = 1
    WriteRegStr HKLM "${GUARD_KEY}" "DisplayName" "${VX_PRODUCT} Guard client"
    WriteRegDWORD HKLM "${GUARD_KEY}" "Version" 0x05010000
    WriteRegDWORD HKLM "${GUARD_KEY}" "SystemComponent" 1
    WriteRegDWORD HKLM "${UNINST_KEY}" "OwnsGuardKey" 1
  ${EndIf}
  ClearErrors
  EnumRegValue $0 HKLM "${TVXDRV_KEY}" 0
  ReadRegDWORD $1 HKLM "${UNINST_KEY}" "OwnsMailAddOnKey"
  ${If} ${Errors}
  ${OrIf} $1 = 1
    WriteRegStr HKLM "${TVXDRV_KEY}" "DisplayName" "${VX_PRODUCT} mail add-on"
    WriteRegStr HKLM "${TVXDRV_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegDWORD HKLM "${TVXDRV_KEY}" "SystemComponent" 1
    WriteRegDWORD HKLM "${UNINST_KEY}" "OwnsMailAddOnKey" 1
  ${EndIf}
  ReadRegStr $0 HKLM "${LOGSVC_KEY}" "TempLogFolder"
  ${If} $0 == ""
    WriteRegStr HKLM "${LOGSVC_KEY}" "TempLogFolder" "${DATA}\Log"
  ${EndIf}
  ; The log service and the resident window run in every user's session.
  WriteRegStr HKLM "${RUN_KEY}" "TARVO-Pro log service" '"$INSTDIR\tglogsvc.exe"'
  WriteRegStr HKLM "${RUN_KEY}" "TARVO-Pro resident" '"$INSTDIR\tvresident.exe"'

  nsExec::ExecToLog '"$INSTDIR\tvsetwr.exe" /RegServer'
  Pop $0
  ${If} $0 != 0
    DetailPrint "設定書き込みサービスを登録できません (tvsetwr /RegServer: $0)"
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; Explorer: the drop target, the entry for files and folders, the .xss file type.
  WriteRegStr HKLM "Software\Classes\CLSID\${SHX_CLSID}" "" "velvox drop target"
  WriteRegStr HKLM "Software\Classes\CLSID\${SHX_CLSID}\InprocServer32" "" "$INSTDIR\vxshell.dll"
  WriteRegStr HKLM "Software\Classes\CLSID\${SHX_CLSID}\InprocServer32" "ThreadingModel" "Apartment"
  ; Where the policy that only approved shell extensions load is in force.
  WriteRegStr HKLM "${APPROVED_KEY}" "${SHX_CLSID}" "velvox drop target"
  !insertmacro ENCRYPT_VERB "*"
  !insertmacro ENCRYPT_VERB "Directory"
  WriteRegStr HKLM "Software\Classes\.xss" "" "${PROGID}"
  WriteRegStr HKLM "Software\Classes\${PROGID}" "" "手動暗号ファイル"
  WriteRegStr HKLM "Software\Classes\${PROGID}\DefaultIcon" "" '"$INSTDIR\velvox.exe",-128'
  WriteRegStr HKLM "Software\Classes\${PROGID}\shell" "" "open"
  WriteRegStr HKLM "Software\Classes\${PROGID}\shell\open" "" "velvox で復号(&O)"
  WriteRegStr HKLM "Software\Classes\${PROGID}\shell\open\command" "" '"$INSTDIR\velvox.exe" "%1"'
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'

  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\鍵管理ツール (tvkeyadm) のヘルプ.lnk" "$SYSDIR\cmd.exe" \
      '/k ""$INSTDIR\tvkeyadm.exe" --help"' "$INSTDIR\tvkeyadm.exe" 0 SW_SHOWNORMAL "" \
      "鍵ストアを管理する tvkeyadm の使い方 (変更には管理者として実行)"
  CreateShortcut "${MENU}\velvox のアンインストール.lnk" "$INSTDIR\uninstall.exe"
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  Call un.StopSuitePrograms

  nsExec::ExecToLog '"$INSTDIR\tvsetwr.exe" /UnregServer'
  Pop $0

  DeleteRegKey HKLM "Software\Classes\*\shell\${VERB}"
  DeleteRegKey HKLM "Software\Classes\Directory\shell\${VERB}"
  DeleteRegKey HKLM "Software\Classes\CLSID\${SHX_CLSID}"
  DeleteRegValue HKLM "${APPROVED_KEY}" "${SHX_CLSID}"
  ReadRegStr $0 HKLM "Software\Classes\.xss" ""
  ${If} $0 == "${PROGID}"
    DeleteRegKey HKLM "Software\Classes\.xss"
  ${EndIf}
  DeleteRegKey HKLM "Software\Classes\${PROGID}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'

  DeleteRegKey HKLM "${APPPATH_KEY}"
  DeleteRegValue HKLM "${RUN_KEY}" "TARVO-Pro log service"
  DeleteRegValue HKLM "${RUN_KEY}" "TARVO-Pro resident"
  ReadRegDWORD $0 HKLM "${UNINST_KEY}" "OwnsGuardKey"
  ${If} $0 = 1
    DeleteRegKey HKLM "${GUARD_KEY}"
  ${EndIf}
  ReadRegDWORD $0 HKLM "${UNINST_KEY}" "OwnsMailAddOnKey"
  ${If} $0 = 1
    DeleteRegKey HKLM "${TVXDRV_KEY}"
  ${EndIf}
  ReadRegStr $0 HKLM "${LOGSVC_KEY}" "TempLogFolder"
  ${If} $0 == "${DATA}\Log"
    DeleteRegValue HKLM "${LOGSVC_KEY}" "TempLogFolder"
  ${EndIf}
  DeleteRegKey /ifempty HKLM "${LOGSVC_KEY}"
  DeleteRegKey /ifempty HKLM "Software\Norvane\TARVO-Pro"
  DeleteRegKey /ifempty HKLM "Software\Norvane"
  ReadRegStr $0 HKLM "${KVRFLT_KEY}" "Media"
  ${If} $0 == "${DATA}\kvrfltme.ini"
    DeleteRegValue HKLM "${KVRFLT_KEY}" "Media"
    DeleteRegKey /ifempty HKLM "${KVRFLT_KEY}"
  ${EndIf}

  Delete "${MENU}\鍵管理ツール (tvkeyadm) のヘルプ.lnk"
  Delete "${MENU}\velvox のアンインストール.lnk"
  RMDir "${MENU}"

  !insertmacro VX_FILES REMOVE_FILE
  Delete /REBOOTOK "$INSTDIR\vxshell.dll"
  ; Copies of vxshell.dll that an upgrade renamed while Explorer held them.
  Delete /REBOOTOK "$INSTDIR\ns*.tmp"
  Delete "$INSTDIR\uninstall.exe"
  Delete /REBOOTOK "$INSTDIR\PlugIns\tvtoken.dll"
  RMDir "$INSTDIR\PlugIns"
  RMDir /REBOOTOK "$INSTDIR"
  RMDir "$PROGRAMFILES64\Norvane"

  ; The key store, the settings and the logs under ${DATA} stay: they are the
  ; machine's data, not the program's.
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
