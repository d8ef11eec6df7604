; The setup of the sample distribution, as a distribution ships the installer: it unpacks the
; tree, writes its uninstaller and its Add or Remove Programs entry, then runs Install.exe -s to
; finish the installation, keeping all it printed in Install.log beside it. A failure of
; Install.exe fails the setup (exit status 3); the Windows Installer package of Zorvan being
; installed refuses it (exit status 4), as the package refuses to install over it.
;
;   makensis -DSTAGE=<folder holding the unpacked tree and Install.exe> -DOUTFILE=<setup.exe>
;            [-DVERSION=<version shown>] [-DVSN=<the manifest's VSN>] [-DSIGN=<command>] setup.nsi
;
; tools/package builds it beside the Windows Installer package of the same stage.
;
; Silently: setup.exe /S /D=<folder>  (/D= last and unquoted, even when the folder has spaces)
Unicode true
Target amd64-unicode
!include LogicLib.nsh
!include FileFunc.nsh

; Its Add or Remove Programs entry, which the Windows Installer package looks for.
!define ARP "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zorvan setup"

!ifndef STAGE
    !error "STAGE must name the folder to ship"
!endif
!ifndef OUTFILE
    !define OUTFILE "Zorvan-setup.exe"
!endif
!ifndef VSN
    !define VSN "5.7"
!endif
!ifndef VERSION
    !define VERSION "${VSN}"
!endif

; With -DSIGN=<command that signs the file it is given>, the uninstaller is signed as it is
; written into the setup.
!ifdef SIGN
    !uninstfinalize '"${SIGN}" "%1"'
!endif

Name "Zorvan ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zorvan"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    SetRegView 64
    ReadRegStr $0 HKLM "Software\Zorvan" "InstallDir"
    ${If} $0 != ""
        MessageBox MB_ICONSTOP "Zorvan is installed by its Windows Installer package in $0: remove it first." /SD IDOK
        SetErrorLevel 4
        Abort
    ${EndIf}
FunctionEnd

; Runs Install.exe -s with both its output streams going straight into Install.log, however
; long. $0: its exit status, or "error" when it could not be started.
Function RunInstall
    StrCpy $0 "error"
    ; GENERIC_WRITE, shared for reading, CREATE_ALWAYS; inherited by Install.exe alone
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\Install.log", i 0x40000000, i 1, p 0, i 2, i 0x80, p 0) p.r1'
    ${If} $1 == -1
        Return
    ${EndIf}
    System::Call 'kernel32::SetHandleInformation(p r1, i 1, i 1)'
    ; STARTUPINFOW (104 bytes): cb, dwFlags STARTF_USESTDHANDLES at 60, output and error at 88
    System::Alloc 104
    Pop $2
    System::Call '*$2(i 104)'
    IntPtrOp $3 $2 + 60
    System::Call '*$3(i 0x100)'
    IntPtrOp $3 $2 + 88
    System::Call '*$3(p r1, p r1)'
    System::Alloc 24 ; PROCESS_INFORMATION
    Pop $4
    System::Call 'kernel32::CreateProcessW(p 0, w `"$INSTDIR\Install.exe" -s`, p 0, p 0, i 1, i 0x08000000, p 0, w "$INSTDIR", p r2, p r4) i.r5'
    ${If} $5 != 0
        System::Call '*$4(p .r6, p .r7)'
        System::Call 'kernel32::WaitForSingleObject(p r6, i -1)'
        System::Call 'kernel32::GetExitCodeProcess(p r6, *i .r0)'
        System::Call 'kernel32::CloseHandle(p r6)'
        System::Call 'kernel32::CloseHandle(p r7)'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r1)'
    System::Free $2
    System::Free $4
FunctionEnd

Section
    SetOutPath "$INSTDIR"
    ; First, so that a setup whose installation fails can still be removed.
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    SetRegView 64
    WriteRegStr HKLM "${ARP}" "DisplayName" "Zorvan (setup)"
    WriteRegStr HKLM "${ARP}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${ARP}" "Publisher" "Zorvan"
    WriteRegStr HKLM "${ARP}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${ARP}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${ARP}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${ARP}" "NoModify" 1
    WriteRegDWORD HKLM "${ARP}" "NoRepair" 1
    File /r "${STAGE}\*.*"
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${ARP}" "EstimatedSize" $0
    Call RunInstall
    ${If} $0 != 0
        DetailPrint "Install.exe failed ($0): see $INSTDIR\Install.log"
        SetErrorLevel 3
        Abort "Install.exe failed ($0): see $INSTDIR\Install.log"
    ${EndIf}
SectionEnd

Section "Uninstall"
    ; What the setup unpacked, what Install.exe made, and the setup's own files; nothing else.
    RMDir /r "$INSTDIR\bin"
    RMDir /r "$INSTDIR\zrun-${VSN}"
    RMDir /r "$INSTDIR\releases"
    Delete "$INSTDIR\Install.ini"
    Delete "$INSTDIR\Install.exe"
    Delete "$INSTDIR\Install.log"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    SetRegView 64
    DeleteRegKey HKLM "${ARP}"
SectionEnd
